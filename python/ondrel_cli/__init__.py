"""ondrel-ec command line: erasure-code files into checksummed shard files and
rebuild them, on top of the `ondrel_ec` codec module."""

from importlib import metadata

try:
    __version__ = metadata.version("ondrel-ec")
except metadata.PackageNotFoundError:  # running from a source tree
    __version__ = "unknown"
