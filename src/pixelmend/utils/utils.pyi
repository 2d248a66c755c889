import os
from typing import Any, Iterable, List, Literal, Mapping, Optional, Tuple, Union, final

_ImagePath = Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]
_Field = Tuple[str, Any]
_Fields = Union[Iterable[_Field], Mapping[str, Any]]

@final
class UploadFile:
    @property
    def len(self) -> int: ...
    @property
    def name(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def read(self, size: Optional[int] = -1, /) -> bytes: ...
    def close(self) -> None: ...

def handle_image_path(
    fields: _Fields, image_path: Optional[_ImagePath]
) -> Union[List[_Field], Literal[False]]: ...
def handle_image_path_id(
    fields: _Fields, image_path: Optional[_ImagePath], to_compare: Optional[_ImagePath]
) -> Union[List[_Field], Literal[False]]: ...
