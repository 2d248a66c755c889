import argparse as argparse
import os as os

import requests as requests
import urllib3 as urllib3
from requests_toolbelt.multipart.encoder import MultipartEncoder as MultipartEncoder  # type: ignore[import-untyped]
from urllib3.exceptions import InsecureRequestWarning as InsecureRequestWarning

from .utils.utils import handle_image_path as handle_image_path
from .utils.utils import handle_image_path_id as handle_image_path_id

_ImagePath = str | bytes | os.PathLike[str] | os.PathLike[bytes]

class Pixelmend:
    """Client of the pixelmend computer-vision service.

    Each operation uploads an image, or every image and video of a directory
    (not recursive, hidden files skipped), to the service with the API key,
    then downloads the result files into ``results/<last component of
    image_path>/`` under the current directory, replacing files of the same
    name. By default certificates are not verified and there are no
    timeouts; the environment variables PIXELMEND_VERIFY, PIXELMEND_TIMEOUT
    and PIXELMEND_BASE_URL, read at each call, change that and where the
    requests go.

    An operation returns ``"Files downloaded to results/<name>"``, or
    ``"File does not exist: <image_path>"`` when there is nothing to upload.
    A result file that cannot be downloaded is reported on standard output
    as ``"Failed to download <file>"`` and the others are still saved.
    It raises ``Exception("HT Error: <status>, <body>")`` when the service
    answers with another status than 200, ``Exception("API responded with an
    error: <message>")`` when it refuses the request, ``requests``
    exceptions when it cannot be reached, and ``OSError`` when the results
    cannot be written.
    """

    key: str | None
    def __init__(self, key: str | None) -> None:
        """Keeps ``key``, the API key sent with every operation (read at each call)."""
    def segment_image(self, image_path: str | None) -> str:
        """Uploads ``image_path`` for segmentation masks; the masks go to ``results/<name>/``."""
    def black_white(self, image_path: str | None) -> str:
        """Uploads the images or videos at ``image_path``; their grayscale versions go to ``results/<name>/``."""
    def colorization(self, image_path: str | None) -> str:
        """Uploads grayscale images or videos at ``image_path``; the colorized versions go to ``results/<name>/``."""
    def smart_object_detection(
        self,
        image_path: str | None,
        display: str = "Boxes",
        confidence_threshold: str = "0.25",
        option: str = "0",
        color: str = "",
    ) -> str:
        """Uploads ``image_path`` for object detection; the annotated images and detections go to ``results/<name>/``.

        ``display`` is ``"Boxes"`` or ``"Masks"``; ``confidence_threshold`` a
        decimal text such as ``"0.5"``; ``option`` the text of an object index
        (``"0"`` for every kind of object); ``color`` a hexadecimal colour that
        detected objects should be close to, sent only when not empty. All are
        sent as text, as given.
        """
    def get_identity_data(self, image_path: str | None, country: str) -> str:
        """Uploads images of ID cards; the identity data read from them goes to ``results/<name>/``.

        ``country`` is the card's country code (``"CM"``, ``"SEN"``, ``"DE"``,
        ``"FR"``, ``"BEN"``, ``"CIV"``), sent in upper case.
        """
    def face_id_verification(self, image_path: str | None, to_compare: _ImagePath) -> str:
        """Uploads the face image(s) at ``image_path`` with the reference image ``to_compare``.

        The verdicts go to ``results/<name>/``; ``"File does not exist: <image_path>"``
        is returned when either path has no image.
        """
    def list_methods(self) -> list[str]:
        """Names of the public callable attributes of this client, sorted; nothing is sent."""

def main() -> None:
    """The ``pixelmend`` command line: runs one operation with ``sys.argv`` and prints its outcome.

    Returns None; the console script's exit status (1 when the command did
    not do its work) comes from ``pixelmend._cli``.
    """
