import datetime
import ipaddress
import os
import shutil
import ssl
from pathlib import Path

LOCAL_NAMES = ("localhost",)
LOCAL_ADDRESSES = ("127.0.0.1", "::1")
# Names a directory holding a certificate.pem and key.pem that the service uses: made
# beforehand for an interpreter where cryptography does not load, or made there by the
# first service that finds none, so that PIXELMEND_VERIFY can name a certificate that
# outlives one run. Unset, each service makes a fresh pair of its own.
GIVEN_CERTIFICATE_VARIABLE = "PIXELMEND_SANDBOX_CERTIFICATE_DIR"


def write_self_signed_certificate(directory: Path) -> tuple[Path, Path]:
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import NameOID

    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "pixelmend local service")])
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
        .not_valid_after(now + datetime.timedelta(days=2))
        .add_extension(x509.SubjectAlternativeName(alternative_names), critical=False)
        .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
        .sign(key, hashes.SHA256())
    )
    certificate_path = directory / "certificate.pem"
    key_path = directory / "key.pem"
    certificate_path.write_bytes(certificate.public_bytes(serialization.Encoding.PEM))
    key_path.write_bytes(
        key.private_bytes(
            serialization.Encoding.PEM,
            serialization.PrivateFormat.PKCS8,
            serialization.NoEncryption(),
        )
    )
    return certificate_path, key_path


class _HandshakeInWorkerContext(ssl.SSLContext):
    # The listening socket is wrapped once; deferring the handshake moves it from the
    # accept loop into each request thread, so a stalled client cannot block the server.
    def wrap_socket(self, sock, *args, **kwargs):
        kwargs["do_handshake_on_connect"] = False
        return super().wrap_socket(sock, *args, **kwargs)


def copy_given_certificate(given: Path, directory: Path) -> tuple[Path, Path]:
    if not (given / "certificate.pem").exists() and not (given / "key.pem").exists():
        given.mkdir(parents=True, exist_ok=True)
        write_self_signed_certificate(given)
    certificate_path = Path(shutil.copyfile(given / "certificate.pem", directory / "certificate.pem"))
    key_path = Path(shutil.copyfile(given / "key.pem", directory / "key.pem"))
    return certificate_path, key_path


def server_ssl_context(directory: Path) -> ssl.SSLContext:
    given = os.environ.get(GIVEN_CERTIFICATE_VARIABLE)
    if given:
        certificate_path, key_path = copy_given_certificate(Path(given), directory)
    else:
        certificate_path, key_path = write_self_signed_certificate(directory)
    context = _HandshakeInWorkerContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate_path, key_path)
    return context
