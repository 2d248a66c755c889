from .main import Pixelmend as Pixelmend

__all__ = ["Pixelmend"]

__version__: str
"""The installed distribution's version, read from its metadata."""
