import os
import threading
import types

import pytest
import requests

import pixelmend.main as pm
from pixelmend.sandbox import running

CLIENT_SETTINGS = ("PIXELMEND_DOWNLOADS", "PIXELMEND_RETRIES", "PIXELMEND_VERIFY", "PIXELMEND_TIMEOUT")


# The session an upload is sent on: its post is answered by `answer`, called
# with the same arguments.
class FakeSession:
    def __init__(self, answer):
        self._answer = answer

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def post(self, url, **keywords):
        return self._answer(url, **keywords)


# Stands in for requests: each upload's session is answered by
# `post(url, data, headers, verify)`, each result file's GET by
# `get(url, stream, verify)`.
def requests_answering(post, get):
    return types.SimpleNamespace(Session=lambda: FakeSession(post), get=get)


@pytest.fixture(scope="session")
def answering_requests():
    return requests_answering


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
        monkeypatch.setattr(pm, "requests", requests_answering(lambda url, data=None, **keywords: post(data), get))

    return install


class Gone(Exception):
    pass


# The socket under a fake response: shutting it down, as a cancelled call
# does through urllib3's response, ends a body that is still being read.
class FakeSocket:
    def __init__(self):
        self.shut = threading.Event()

    def shutdown(self, how=None):
        self.shut.set()


# One answer to a result file's GET. `chunks` may hold bytes, exceptions to
# raise and callables (called as the body is read) returning bytes.
class FileReply:
    def __init__(self, status=200, chunks=(b"result",), headers=None):
        self.status_code = status
        self.headers = dict(headers or {})
        self.chunks = list(chunks)
        self.socket = FakeSocket()
        self.raw = types.SimpleNamespace(shutdown=self.socket.shutdown)
        self.closed = False

    def iter_content(self, chunk_size):
        assert chunk_size == 8192
        for chunk in self.chunks:
            if isinstance(chunk, BaseException):
                raise chunk
            yield chunk() if callable(chunk) else chunk

    def close(self):
        self.closed = True


class FakeAdapter:
    def __init__(self, **keywords):
        self.keywords = keywords
        self.pool_keywords = None

    def init_poolmanager(self, connections, maxsize, **keywords):
        self.pool_keywords = (connections, maxsize, keywords)


class DownloadSession:
    def __init__(self, service):
        self.service = service
        self.mounted = {}
        self.closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def post(self, url, data=None, headers=None, **keywords):
        self.service.posts.append(url)
        if isinstance(self.service.upload_reply, BaseException):
            raise self.service.upload_reply
        return self.service.upload_reply

    def mount(self, prefix, adapter):
        self.mounted[prefix] = adapter

    def get(self, url, **keywords):
        assert not self.closed
        return self.service.serve(url, keywords, self)

    def close(self):
        self.closed = True


# Stands in for requests: the upload names `filenames`; each result file's
# GET, by the package-level get or a session's, takes the next of the
# answers given for its name (the last one stays). An answer is a FileReply,
# an exception to raise, or a callable that makes one of them.
class FakeRequests:
    exceptions = requests.exceptions

    def __init__(self, filenames):
        self.upload_reply = ServiceReply(filenames)
        self.answers = {}
        self.gets = []
        self.posts = []
        self.sessions = []
        self.adapters = types.SimpleNamespace(HTTPAdapter=FakeAdapter)
        self.lock = threading.Lock()

    def answer(self, name, *answers):
        self.answers[name] = list(answers)

    def Session(self):
        session = DownloadSession(self)
        self.sessions.append(session)
        return session

    def get(self, url, **keywords):
        return self.serve(url, keywords, None)

    def serve(self, url, keywords, session):
        name = url.rsplit("/", 1)[1]
        with self.lock:
            self.gets.append((name, keywords, session))
            answers = self.answers.setdefault(name, [FileReply(chunks=[name.encode()])])
            answer = answers.pop(0) if len(answers) > 1 else answers[0]
        if callable(answer) and not isinstance(answer, FileReply):
            answer = answer()
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def download_sessions(self):
        return [session for session in self.sessions if session.mounted]


def start_afresh(monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    for name in CLIENT_SETTINGS:
        monkeypatch.delenv(name, raising=False)


# A call of black_white on `img.png` in a fresh directory, its upload
# answered by `service`, a FakeRequests bound into the module.
@pytest.fixture
def fake_service(monkeypatch, tmp_path):
    start_afresh(monkeypatch, tmp_path)
    monkeypatch.setattr(pm, "handle_image_path", lambda fields, image_path: fields)

    def install(filenames):
        service = FakeRequests(filenames)
        monkeypatch.setattr(pm, "requests", service)
        return service

    return install


def saved_files(root="results/img.png"):
    found = {}
    for name in os.listdir(root):
        with open(os.path.join(root, name), "rb") as saved:
            found[name] = saved.read()
    return found


# The fakes above, for the tests that build their answers from them.
@pytest.fixture
def fakes():
    return types.SimpleNamespace(FileReply=FileReply, Gone=Gone, FakeRequests=FakeRequests, saved_files=saved_files)


# The stand-in service, started once for a test file and accepting its KEY,
# with the client's base address routed to it.
@pytest.fixture(scope="module")
def stand_in(request):
    with running(accepted_keys=[request.module.KEY]) as started:
        yield started


# The stand-in for one test, cleared of the faults, records and errors of the
# tests before, the test in a fresh directory with none of the client's
# settings; whatever the stand-in reports as its own error fails the test.
@pytest.fixture
def sandbox(stand_in, monkeypatch, tmp_path):
    start_afresh(monkeypatch, tmp_path)
    stand_in.reset()
    yield stand_in
    errors = list(stand_in.errors)
    stand_in.reset()
    assert errors == []
