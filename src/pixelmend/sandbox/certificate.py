import contextlib
import datetime
import errno
import ipaddress
import os
import ssl
import stat
import subprocess
import tempfile
from pathlib import Path

from .file_lock import exclusive_lock

LOCAL_NAMES = ("localhost",)
LOCAL_ADDRESSES = ("127.0.0.1", "::1")
COMMON_NAME = "pixelmend local service"
VALID_DAYS = 2
# Names a directory holding a certificate.pem and key.pem that the service uses: made
# beforehand for an interpreter where cryptography does not load, or made there by the
# first service that finds none, so that PIXELMEND_VERIFY can name a certificate that
# outlives one run. Unset, each service makes a fresh pair of its own.
GIVEN_CERTIFICATE_VARIABLE = "PIXELMEND_SANDBOX_CERTIFICATE_DIR"
LOCK_NAME = ".lock"


class UnsafeCertificateDirectory(Exception):
    pass


# A leaf certificate, not a CA: whoever reads its key can impersonate the loopback
# names and nothing else, even to a client that trusts this certificate.
def _certificate_and_key_from_cryptography() -> tuple[bytes, bytes]:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, COMMON_NAME)])
    now = datetime.datetime.now(datetime.timezone.utc)
    alternative_names: list[x509.GeneralName] = [x509.DNSName(name) for name in LOCAL_NAMES]
    alternative_names += [x509.IPAddress(ipaddress.ip_address(a)) for a in LOCAL_ADDRESSES]
    certificate = (
        x509.CertificateBuilder()
        .subject_name(subject)
        .issuer_name(subject)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now - datetime.timedelta(minutes=5))
        .not_valid_after(now + datetime.timedelta(days=VALID_DAYS))
        .add_extension(x509.SubjectAlternativeName(alternative_names), critical=False)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .sign(key, hashes.SHA256())
    )
    key_bytes = key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()
    )
    return certificate.public_bytes(serialization.Encoding.PEM), key_bytes


# The same certificate made by the openssl command, for an interpreter that has no
# cryptography wheel (and no compiler to build one).
def _certificate_and_key_from_openssl() -> tuple[bytes, bytes]:
    alternative_names = [f"DNS:{name}" for name in LOCAL_NAMES] + [f"IP:{a}" for a in LOCAL_ADDRESSES]
    configuration = "\n".join([
        "[req]", "prompt = no", "distinguished_name = subject", "x509_extensions = leaf",
        "[subject]", f"CN = {COMMON_NAME}",
        "[leaf]", f"subjectAltName = {', '.join(alternative_names)}", "basicConstraints = critical, CA:FALSE",
        "extendedKeyUsage = serverAuth", "subjectKeyIdentifier = hash", "",
    ])
    with tempfile.TemporaryDirectory(prefix="pixelmend-certificate-") as work:
        (Path(work) / "openssl.cnf").write_text(configuration)
        command = ["openssl", "req", "-x509", "-config", "openssl.cnf", "-newkey", "ec",
                   "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-sha256", "-days", str(VALID_DAYS),
                   "-keyout", "key.pem", "-out", "certificate.pem"]
        try:
            made = subprocess.run(command, cwd=work, stdin=subprocess.DEVNULL, capture_output=True, text=True)
        except FileNotFoundError:
            raise RuntimeError("the stand-in's certificate needs cryptography or the openssl command") from None
        if made.returncode != 0:
            raise RuntimeError(f"openssl could not make the stand-in's certificate: {made.stderr.strip()}")
        return (Path(work) / "certificate.pem").read_bytes(), (Path(work) / "key.pem").read_bytes()


# Written under a temporary name and then renamed, so that the name only ever holds a whole file.
def _write(path: Path, content: bytes, mode: int) -> None:
    descriptor, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}-", suffix=".tmp")
    try:
        with os.fdopen(descriptor, "wb") as file:
            if hasattr(os, "fchmod"):
                os.fchmod(file.fileno(), mode)
            file.write(content)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(temporary)
        raise


def _write_pair(directory: Path, certificate: bytes, key: bytes) -> tuple[Path, Path]:
    certificate_path = directory / "certificate.pem"
    key_path = directory / "key.pem"
    _write(key_path, key, 0o600)
    _write(certificate_path, certificate, 0o644)
    return certificate_path, key_path


def write_self_signed_certificate(directory: Path) -> tuple[Path, Path]:
    try:
        certificate, key = _certificate_and_key_from_cryptography()
    except ImportError:
        certificate, key = _certificate_and_key_from_openssl()
    return _write_pair(directory, certificate, key)


class _HandshakeInWorkerContext(ssl.SSLContext):
    # The listening socket is wrapped once; deferring the handshake moves it from the
    # accept loop into each request thread, so a stalled client cannot block the server.
    def wrap_socket(self, sock, *args, **kwargs):
        kwargs["do_handshake_on_connect"] = False
        return super().wrap_socket(sock, *args, **kwargs)


# Another user who owns the directory, or can write to it, could read the key or put a
# pair of their own there for PIXELMEND_VERIFY to trust. Windows has no such modes to check.
def _check_private_directory(given: Path) -> None:
    if not hasattr(os, "getuid"):
        return
    user = os.getuid()
    if os.lstat(given).st_uid != user or os.stat(given).st_uid != user:
        raise UnsafeCertificateDirectory(
            f"{GIVEN_CERTIFICATE_VARIABLE} names {given}, which belongs to another user; name a directory of your own"
        )
    if os.stat(given).st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise UnsafeCertificateDirectory(
            f"{GIVEN_CERTIFICATE_VARIABLE} names {given}, which others can write to; "
            "make it writable by you alone (chmod go-w) or name another"
        )


# The key another user can read lets them impersonate the loopback names to every client
# that trusts the kept certificate. The modes say nothing on Windows.
def _check_private_key(given: Path, key_path: Path) -> None:
    if not hasattr(os, "getuid"):
        return
    mode = stat.S_IMODE(os.stat(key_path).st_mode)
    if mode & (stat.S_IRWXG | stat.S_IRWXO):
        raise UnsafeCertificateDirectory(
            f"{GIVEN_CERTIFICATE_VARIABLE} names {given}, whose key.pem others have access to (mode {mode:04o}); "
            f"make it yours alone (chmod 600 {key_path}) or name another"
        )


# Services started at once on one fresh directory (test workers that inherit the variable)
# would each write a pair there; the lock lets one make it and the others read it whole.
def _kept_pair(given: Path) -> tuple[bytes, bytes]:
    certificate_path, key_path = given / "certificate.pem", given / "key.pem"
    with contextlib.ExitStack() as held:
        try:
            held.enter_context(exclusive_lock(given / LOCK_NAME))
        except OSError as error:
            # A directory you have made read-only, or a read-only disk: no one writes a pair there.
            if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS) or not key_path.exists():
                raise
        if not certificate_path.exists() and not key_path.exists():
            write_self_signed_certificate(given)
        _check_private_key(given, key_path)
        return certificate_path.read_bytes(), key_path.read_bytes()


def copy_given_certificate(given: Path, directory: Path) -> tuple[Path, Path]:
    try:
        given.mkdir(mode=0o700, parents=True)
    except FileExistsError:
        pass
    _check_private_directory(given)
    certificate, key = _kept_pair(given)
    return _write_pair(directory, certificate, key)


def server_ssl_context(directory: Path) -> ssl.SSLContext:
    given = os.environ.get(GIVEN_CERTIFICATE_VARIABLE)
    if given:
        certificate_path, key_path = copy_given_certificate(Path(given), directory)
    else:
        certificate_path, key_path = write_self_signed_certificate(directory)
    context = _HandshakeInWorkerContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate_path, key_path)
    return context
