import os
from typing import Any, Iterable, List, Literal, Mapping, Optional, Tuple, Union, final

_ImagePath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Field = Tuple[str, Any]
_Fields = Union[Iterable[_Field], Mapping[str, Any]]

@final
class UploadFile:
    """Reader of one image for a multipart upload.

    It opens its file on the first read and closes it once the last byte is
    read, so an upload of many files keeps at most one of them open. A file
    that shrinks or vanishes meanwhile raises OSError on read.
    """

    @property
    def len(self) -> int:
        """Bytes still to be read (the file's size before the first read)."""
    @property
    def name(self) -> str:
        """The file name sent with the part."""
    @property
    def closed(self) -> bool:
        """Whether the reader has been closed."""
    def read(self, size: Optional[int] = -1, /) -> bytes:
        """Up to ``size`` more bytes (all that are left when negative or None); b"" at the end."""
    def close(self) -> None:
        """Closes the file; a later read raises ValueError."""

def handle_image_path(
    fields: _Fields, image_path: Optional[_ImagePath]
) -> Union[List[_Field], Literal[False]]:
    """A copy of ``fields`` with one ``("image", (file name, UploadFile, content type))`` entry per image.

    ``image_path`` is a file, or a directory whose image and video files are
    taken (not recursive, hidden files skipped, sorted by name). Returns
    False when it names no such file or a directory without any. Nothing is
    opened yet; each reader opens its file when the upload reads it.
    """
def handle_image_path_id(
    fields: _Fields, image_path: Optional[_ImagePath], to_compare: Optional[_ImagePath]
) -> Union[List[_Field], Literal[False]]:
    """As handle_image_path, adding ``"image"`` entries for ``image_path`` and ``"image_to_compare"`` ones for ``to_compare``.

    Returns False when either has no image.
    """
