"""Package-wide constants."""
from importlib import metadata

try:
    __version__: str = metadata.version("vexlo")
except metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0.1.0"
