"""``python -m quarvel``: the same command line as ``quarvel``."""

from .cli import main

raise SystemExit(main())
