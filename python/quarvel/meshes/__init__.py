"""Meshes: the :class:`quarvel.Mesh` type and its checks."""
