from .main import Pixelmend as Pixelmend

__all__ = ["Pixelmend"]
