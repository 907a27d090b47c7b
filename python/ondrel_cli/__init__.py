"""ondrel-ec command line: erasure-code files into checksummed shard files and
rebuild them, on top of the `ondrel_ec` codec module."""



def __getattr__(name: str) -> str:
    """`__version__`, looked up when asked for: importing importlib.metadata
    costs half the command's start-up time (50 ms)."""
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib import metadata

    try:
        return metadata.version("ondrel-ec")
    except metadata.PackageNotFoundError:  # running from a source tree
        return "unknown"
