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


# Binds a stand-in for requests into the module: `post(data)` answers the
# upload, `get(url, stream, verify)` each result file.
@pytest.fixture
def fake_requests(monkeypatch):
    def install(post, get):
        monkeypatch.setattr(pm, "requests", types.SimpleNamespace(Session=lambda: FakeSession(post), get=get))

    return install
