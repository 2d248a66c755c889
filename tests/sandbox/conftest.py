import io
import json
import uuid
import warnings
from pathlib import Path

import pytest
import requests
from PIL import Image
from requests_toolbelt import MultipartEncoder
from urllib3.exceptions import InsecureRequestWarning

from pixelmend.sandbox import serve

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="session")
def service():
    with serve() as running_service:
        yield running_service


@pytest.fixture(autouse=True)
def quiet_certificate_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", InsecureRequestWarning)
        yield


@pytest.fixture(autouse=True)
def fresh_faults(request):
    yield
    if "service" in request.fixturenames:
        running_service = request.getfixturevalue("service")
        errors = list(running_service.errors)
        running_service.reset()
        assert errors == [], "the local service reported errors"


@pytest.fixture(scope="session")
def example():
    def read(name):
        return (EXAMPLES / name).read_bytes()

    return read


@pytest.fixture(scope="session")
def png_bytes():
    def make(size=(32, 24), colour="red"):
        buffer = io.BytesIO()
        Image.new("RGB", size, colour).save(buffer, "PNG")
        return buffer.getvalue()

    return make


@pytest.fixture
def post(service):
    def send(path, fields, base=None):
        encoder = MultipartEncoder(fields=fields)
        return requests.Session().post(
            (base or service.url) + path,
            data=encoder,
            headers={"Content-Type": encoder.content_type},
            verify=False,
        )

    return send


@pytest.fixture
def fetch():
    def download(reply_json, name):
        return requests.get(reply_json["path"] + "/" + name, verify=False)

    return download


# The body of a result file the service has served.
def served_body(fetch, reply_json, name):
    response = fetch(reply_json, name)
    assert response.status_code == 200
    return response.content


@pytest.fixture
def fetch_json(fetch):
    return lambda reply_json, name: json.loads(served_body(fetch, reply_json, name))


@pytest.fixture
def fetch_image(fetch):
    def download(reply_json, name):
        image = Image.open(io.BytesIO(served_body(fetch, reply_json, name)))
        image.load()
        return image

    return download


@pytest.fixture
def publish():
    def place(service, content, name="result.bin"):
        request_id = uuid.uuid4().hex
        directory = service.workspace / "results" / request_id
        directory.mkdir(parents=True)
        (directory / name).write_bytes(content)
        return f"{service.url}/results/{request_id}/{name}"

    return place
