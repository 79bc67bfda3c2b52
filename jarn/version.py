"""The installed version of jarn, as the trace records it."""

from __future__ import annotations

from importlib import metadata

try:
    __version__: str = metadata.version("jarn")
except metadata.PackageNotFoundError:  # a source checkout on sys.path, not installed
    __version__ = "0.0.0+unknown"
