import argparse as argparse
import os as os

import requests as requests
import urllib3 as urllib3
from requests_toolbelt.multipart.encoder import MultipartEncoder as MultipartEncoder  # type: ignore[import-untyped]
from urllib3.exceptions import InsecureRequestWarning as InsecureRequestWarning

from .utils.utils import handle_image_path as handle_image_path
from .utils.utils import handle_image_path_id as handle_image_path_id

class Pixelmend:
    key: str | None
    def __init__(self, key: str | None) -> None: ...
    def segment_image(self, image_path: str | None) -> str: ...
    def black_white(self, image_path: str | None) -> str: ...
    def colorization(self, image_path: str | None) -> str: ...
    def smart_object_detection(
        self,
        image_path: str | None,
        display: object = "Boxes",
        confidence_threshold: object = "0.25",
        option: object = "0",
        color: object = "",
    ) -> str: ...
    def get_identity_data(self, image_path: str | None, country: object) -> str: ...
    def face_id_verification(self, image_path: str | None, to_compare: object) -> str: ...
    def list_methods(self) -> list[str]: ...

def main() -> None: ...
