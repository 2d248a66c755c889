from __future__ import annotations

import errno
import socket
import ssl
import sys

# WSAEINVAL, and the EINVAL it may be mapped to: what Wine's sockets report for a read of a
# connection that its client has just closed.
_WINDOWS_HANG_UPS = (errno.EINVAL, 10022)
ON_WINDOWS = sys.platform == "win32"


class ClientHungUp(ConnectionResetError):
    def __init__(self) -> None:
        super().__init__(errno.ECONNRESET, "the client hung up")


# A client that hangs up shows differently with the platform, Python and OpenSSL: a reset or a
# broken pipe, a TLS EOF or close alert, a plain SSLError naming the unexpected EOF, WSAEINVAL under
# Wine. A reply the client has not taken for the whole idle timeout counts as hung up too.
def is_hang_up(error: OSError, writing: bool = False) -> bool:
    return (
        isinstance(error, (ConnectionError, ssl.SSLEOFError, ssl.SSLZeroReturnError))
        or getattr(error, "reason", None) == "UNEXPECTED_EOF_WHILE_READING"
        or (ON_WINDOWS and error.errno in _WINDOWS_HANG_UPS)
        or (writing and isinstance(error, socket.timeout))
    )


# The service's side of a client's TLS connection, read and written through by cheroot's files.
# A hang-up is told apart here, where it happens, and goes on as ClientHungUp, whose errno cheroot
# takes for the connection's end: it closes the connection unanswered and unreported. A read that
# times out stays a timeout, which cheroot answers 408 within a request.
class ClientConnection(ssl.SSLSocket):
    def recv_into(self, buffer, nbytes=None, flags=0):
        try:
            return super().recv_into(buffer, nbytes, flags)
        except OSError as error:
            if not is_hang_up(error):
                raise
            raise ClientHungUp() from error

    def send(self, data, flags=0):
        try:
            return super().send(data, flags)
        except OSError as error:
            if not is_hang_up(error, writing=True):
                raise
            raise ClientHungUp() from error
