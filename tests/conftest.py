import types

import pytest

import pixelmend.main as pm


class FakeSession:
    def __init__(self, post):
        self._post = post

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def post(self, url, data=None, headers=None, verify=None):
        return self._post(data)


# A reply of the service to the upload (naming `filenames`) and to each
# result file's download.
class ServiceReply:
    status_code = 200

    def __init__(self, filenames=()):
        self.filenames = list(filenames)

    def json(self):
        return {"success": True, "filenames": self.filenames, "path": "http://127.0.0.1:9"}

    def iter_content(self, chunk_size):
        yield b"result"


@pytest.fixture
def reply():
    return ServiceReply


# Binds a stand-in for requests into the module: `post(data)` answers the
# upload, `get(url, stream, verify)` each result file.
@pytest.fixture
def fake_requests(monkeypatch):
    def install(post, get):
        monkeypatch.setattr(pm, "requests", types.SimpleNamespace(Session=lambda: FakeSession(post), get=get))

    return install
