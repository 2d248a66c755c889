__all__ = ["Pixelmend"]


# The client lives in the compiled module; importing it lazily keeps
# `import pixelmend.utils.utils` or the sandbox from loading it needlessly.
def __getattr__(name):
    if name == "Pixelmend":
        from .main import Pixelmend

        return Pixelmend
    if name == "__version__":
        # The installed distribution's metadata is the one place the version
        # is written (pyproject.toml); read once, on first use.
        from importlib.metadata import version

        globals()["__version__"] = version("pixelmend")
        return globals()["__version__"]
    raise AttributeError("module 'pixelmend' has no attribute %r" % name)
