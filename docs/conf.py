"""Sphinx configuration: the API reference from the docstrings, and the guide."""

project = "quarvel"
author = "the quarvel developers"
release = "0.1.0"

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx.ext.viewcode"]
autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True}
exclude_patterns = ["_build", "bench", "gallery", "benchmarks.md"]
html_theme = "alabaster"
