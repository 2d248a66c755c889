import errno
import socket
import ssl

import pytest
import requests

from pixelmend.sandbox import Service, client_connection
from pixelmend.sandbox.client_connection import is_hang_up

BLACK_WHITE = "/vision/v0/black-white"


def tls_error(reason):
    error = ssl.SSLError(1, f"[SSL: {reason}]")
    error.reason = reason
    return error


# The forms a hang-up takes with one platform, Python and OpenSSL or another (WSAEINVAL and EINVAL under Wine).
HANG_UPS = {
    "reset": lambda: ConnectionResetError(errno.ECONNRESET, "reset"),
    "broken-pipe": lambda: BrokenPipeError(errno.EPIPE, "broken pipe"),
    "tls-eof": lambda: ssl.SSLEOFError(8, "EOF occurred in violation of protocol"),
    "tls-close-alert": lambda: ssl.SSLZeroReturnError(6, "TLS/SSL connection has been closed"),
    "plain-ssl-error-eof": lambda: tls_error("UNEXPECTED_EOF_WHILE_READING"),
    "wsaeinval": lambda: OSError(10022, "An invalid argument was supplied"),
    "einval": lambda: OSError(errno.EINVAL, "Invalid argument"),
}


# What the tests below cannot make happen: a write that times out, EINVAL on any other platform.
@pytest.mark.parametrize(("make", "windows", "writing", "hung_up"), [
    (lambda: socket.timeout("The write operation timed out"), False, True, True),
    (lambda: socket.timeout("The read operation timed out"), False, False, False),
    (HANG_UPS["einval"], False, False, False),
    (lambda: tls_error("DECRYPTION_FAILED_OR_BAD_RECORD_MAC"), True, True, False),
], ids=["write-timeout", "read-timeout", "einval-elsewhere", "other-tls-failure"])
def test_what_counts_as_hung_up(monkeypatch, make, windows, writing, hung_up):
    monkeypatch.setattr(client_connection, "ON_WINDOWS", windows)
    assert is_hang_up(make(), writing) is hung_up


# The service's reads of its clients' connections fail once with `make()`: before the request
# line (after 0 bytes) or in the middle of the upload, inside the app (after its first read).
@pytest.fixture
def failing_read(monkeypatch):
    def arm(make, after_bytes):
        armed = [True]
        read = ssl.SSLSocket.recv_into

        def recv_into(self, buffer, nbytes=None, flags=0):
            count = getattr(self, "bytes_seen", 0)
            if self.server_side and armed[0] and count >= after_bytes:
                armed[0] = False
                raise make()
            self.bytes_seen = count + read(self, buffer, nbytes, flags)
            return self.bytes_seen - count

        monkeypatch.setattr(ssl.SSLSocket, "recv_into", recv_into)

    return arm


def upload(local):
    return requests.post(local.url + BLACK_WHITE, files={"image": ("p.png", b"x" * 200_000, "image/png")},
                         data={"api_key": "k"}, verify=False, timeout=30)


@pytest.mark.parametrize("after_bytes", [0, 1], ids=["before-the-request", "mid-upload"])
@pytest.mark.parametrize("make", HANG_UPS.values(), ids=HANG_UPS)
def test_a_client_that_hangs_up_leaves_nothing_in_the_errors(monkeypatch, failing_read, make, after_bytes):
    monkeypatch.setattr(client_connection, "ON_WINDOWS", True)
    with Service() as local:
        failing_read(make, after_bytes)
        with pytest.raises(requests.exceptions.ConnectionError):
            upload(local)
        assert requests.get(local.url + "/results/x/y", verify=False, timeout=30).status_code == 404
        assert local.errors == []


@pytest.mark.parametrize("after_bytes", [0, 1], ids=["before-the-request", "mid-upload"])
def test_a_read_that_fails_otherwise_is_reported(failing_read, after_bytes):
    with Service() as local:
        failing_read(lambda: OSError(errno.EIO, "Input/output error"), after_bytes)
        try:
            upload(local)
        except requests.exceptions.ConnectionError:
            pass
        assert requests.get(local.url + "/results/x/y", verify=False, timeout=30).status_code == 404
        [error] = local.errors
        assert "Input/output error" in error
