__all__ = ["Pixelmend"]


# The client lives in the compiled module; importing it lazily keeps
# `import pixelmend.utils.utils` or the sandbox from loading it needlessly.
def __getattr__(name):
    if name == "Pixelmend":
        from .main import Pixelmend

        return Pixelmend
    raise AttributeError("module 'pixelmend' has no attribute %r" % name)
