"""The installed version of jarn, as the trace records it."""

from __future__ import annotations

from importlib import metadata

DISTRIBUTION = "jarn-profiler"  # the name it is installed by (the import name stays jarn)

try:
    __version__: str = metadata.version(DISTRIBUTION)
except metadata.PackageNotFoundError:  # a source checkout on sys.path, not installed
    __version__ = "0.0.0+unknown"
