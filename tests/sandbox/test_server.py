import multiprocessing
import os
import shutil
import socket
import ssl
import stat
import subprocess
import sys
import threading
import time

import pytest
import requests

from pixelmend.sandbox import Service, UnsafeCertificateDirectory, serve


@pytest.mark.parametrize("host", ["0.0.0.0", "10.0.0.1", "::"])
def test_service_listens_on_loopback_only(host):
    with pytest.raises(ValueError):
        Service(host=host)


@pytest.mark.xdist_group("measuring")
def test_silent_connection_does_not_block_other_clients(service):
    with socket.create_connection(("127.0.0.1", service.port)):
        started = time.monotonic()
        response = requests.get(service.url + "/results/x/y", verify=False, timeout=10)
        assert response.status_code == 404
        assert time.monotonic() - started < 5


@pytest.mark.xdist_group("measuring")
def test_requests_are_served_concurrently(service, post):
    service.faults.delay_next_post(0.6)
    service.faults.delay_next_post(0.6)
    statuses = []

    def send():
        statuses.append(post("/vision/v0/black-white", [("api_key", "k")]).status_code)

    threads = [threading.Thread(target=send) for _ in range(2)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert statuses == [200, 200]
    assert time.monotonic() - started < 1.1


def test_stop_frees_the_port_and_the_workspace():
    with serve() as local:
        port, workspace = local.port, local.workspace
        assert workspace.is_dir()
    assert not workspace.exists()
    with pytest.raises(OSError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    with pytest.raises(RuntimeError):
        local.url


def test_plain_http_is_not_answered(service):
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.get(f"http://127.0.0.1:{service.port}/results/x/y", timeout=5)
    service.reset()


# Without cryptography (an interpreter it has no wheel for) the openssl command makes the pair.
@pytest.fixture(params=["cryptography", "openssl"])
def certificate_maker(request, monkeypatch):
    if request.param == "cryptography":
        pytest.importorskip("cryptography")
    else:
        if shutil.which("openssl") is None:
            pytest.skip("no openssl command here")
        monkeypatch.setitem(sys.modules, "cryptography", None)
    return request.param


def test_a_kept_certificate_verifies_for_the_loopback_names(tmp_path, monkeypatch, certificate_maker):
    kept = tmp_path / "made" / "here"
    monkeypatch.setenv("PIXELMEND_SANDBOX_CERTIFICATE_DIR", str(kept))
    with serve() as first:
        made = (kept / "certificate.pem").read_bytes()
        assert first.certificate_path.read_bytes() == made
        if os.name == "posix":
            assert stat.S_IMODE(kept.stat().st_mode) == 0o700
            assert stat.S_IMODE((kept / "key.pem").stat().st_mode) == 0o600
            assert stat.S_IMODE((first.certificate_path.parent / "key.pem").stat().st_mode) == 0o600
    with serve() as second:
        assert second.certificate_path.read_bytes() == made
        for host in ("127.0.0.1", "localhost"):
            response = requests.get(f"https://{host}:{second.port}/results/x/y", verify=str(kept / "certificate.pem"),
                                    timeout=10)
            assert response.status_code == 404
    on_ipv6 = Service(host="::1")
    try:
        on_ipv6.start()
    except OSError:
        pytest.skip("no IPv6 loopback here")
    try:
        response = requests.get(on_ipv6.url + "/results/x/y", verify=str(kept / "certificate.pem"), timeout=10)
        assert response.status_code == 404
    finally:
        on_ipv6.stop()


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True, stdin=subprocess.DEVNULL)


# Whoever reads the kept key signs a certificate for any name with it; a client that
# trusts the stand-in's certificate must not take that one.
def test_the_kept_key_cannot_vouch_for_another_certificate(tmp_path, monkeypatch, certificate_maker):
    if shutil.which("openssl") is None:
        pytest.skip("no openssl command here")
    kept = tmp_path / "kept"
    monkeypatch.setenv("PIXELMEND_SANDBOX_CERTIFICATE_DIR", str(kept))
    with serve():
        pass
    (tmp_path / "names.cnf").write_text("subjectAltName = DNS:localhost, DNS:service.example, IP:127.0.0.1\n")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-subj", "/CN=service.example", "-keyout", "forged-key.pem", "-out", "forged.csr", cwd=tmp_path)
    openssl("x509", "-req", "-in", "forged.csr", "-CA", str(kept / "certificate.pem"), "-CAkey", str(kept / "key.pem"),
            "-set_serial", "7", "-days", "1", "-extfile", "names.cnf", "-out", "forged.pem", cwd=tmp_path)
    (tmp_path / "chain.pem").write_bytes((tmp_path / "forged.pem").read_bytes() + (kept / "certificate.pem").read_bytes())
    server_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_context.load_cert_chain(tmp_path / "chain.pem", tmp_path / "forged-key.pem")
    with socket.create_server(("127.0.0.1", 0)) as listener:
        def answer_once():
            connection, _ = listener.accept()
            with connection:
                try:
                    server_context.wrap_socket(connection, server_side=True).close()
                except (ssl.SSLError, OSError):
                    pass

        answering = threading.Thread(target=answer_once)
        answering.start()
        with pytest.raises(requests.exceptions.SSLError, match="invalid CA certificate"):
            requests.get(f"https://localhost:{listener.getsockname()[1]}/", verify=str(kept / "certificate.pem"),
                         timeout=10)
        answering.join(10)


def other_user():
    if os.getuid() != 0:
        pytest.skip("only root can give a directory to another user")
    return 65534


def given_mode(mode):
    def prepare(tmp_path):
        given = tmp_path / "pm-tls"
        given.mkdir()
        given.chmod(mode)
        return given

    return prepare


def owned_by_another_user(tmp_path):
    given = given_mode(0o755)(tmp_path)
    os.chown(given, other_user(), -1)
    return given


# /tmp is writable by all: another user's link there can lead to a directory of your own.
def linked_by_another_user(tmp_path):
    target = given_mode(0o700)(tmp_path)
    link = tmp_path / "link"
    link.symlink_to(target)
    os.lchown(link, other_user(), -1)
    return link


@pytest.mark.skipif(os.name != "posix", reason="POSIX owners and modes")
@pytest.mark.parametrize(
    ("prepare", "complaint"),
    [
        (given_mode(0o777), "which others can write to"),
        (given_mode(0o770), "which others can write to"),
        (given_mode(0o1777), "which others can write to"),
        (owned_by_another_user, "which belongs to another user"),
        (linked_by_another_user, "which belongs to another user"),
    ],
    ids=["world-writable", "group-writable", "sticky-like-tmp", "another-user", "another-users-link"],
)
def test_a_certificate_directory_others_control_is_refused(tmp_path, monkeypatch, prepare, complaint):
    given = prepare(tmp_path)
    monkeypatch.setenv("PIXELMEND_SANDBOX_CERTIFICATE_DIR", str(given))
    with pytest.raises(UnsafeCertificateDirectory, match=f"PIXELMEND_SANDBOX_CERTIFICATE_DIR names {given}, {complaint}"):
        with serve():
            pass
    assert sorted(os.listdir(given)) == []


# What each of several processes runs: they all find one fresh directory at once, as
# test workers that inherit PIXELMEND_SANDBOX_CERTIFICATE_DIR do.
STARTED_AT_ONCE = """
import multiprocessing
import os
from pixelmend.sandbox import serve

os.environ["PIXELMEND_SANDBOX_CERTIFICATE_DIR"] = kept
barrier.wait(60)
try:
    with serve() as started:
        outcomes.put(started.certificate_path.read_bytes())
except Exception as error:
    outcomes.put(repr(error))
"""


def test_services_started_at_once_on_a_fresh_directory_share_one_matching_pair(tmp_path):
    pytest.importorskip("cryptography.hazmat.primitives.asymmetric.ec")
    processes_per_round, rounds = 4, 3
    context = multiprocessing.get_context()
    for round_number in range(rounds):
        kept = tmp_path / f"round-{round_number}"
        barrier, outcomes = context.Barrier(processes_per_round), context.Queue()
        names = {"kept": str(kept), "barrier": barrier, "outcomes": outcomes}
        processes = [context.Process(target=exec, args=(STARTED_AT_ONCE, names)) for _ in range(processes_per_round)]
        for process in processes:
            process.start()
        served = [outcomes.get(timeout=60) for _ in processes]
        for process in processes:
            process.join(60)
        certificate = (kept / "certificate.pem").read_bytes()
        assert served == [certificate] * processes_per_round
        ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER).load_cert_chain(kept / "certificate.pem", kept / "key.pem")


@pytest.mark.skipif(os.name != "posix", reason="POSIX modes")
@pytest.mark.parametrize("mode", [0o644, 0o620, 0o601], ids=lambda mode: f"{mode:04o}")
def test_a_kept_key_others_have_access_to_is_refused(tmp_path, monkeypatch, mode):
    kept = tmp_path / "kept"
    monkeypatch.setenv("PIXELMEND_SANDBOX_CERTIFICATE_DIR", str(kept))
    with serve():
        pass
    kept.chmod(0o755)
    (kept / "key.pem").chmod(mode)
    complaint = (f"PIXELMEND_SANDBOX_CERTIFICATE_DIR names {kept}, whose key.pem others have access to "
                 f"(mode {mode:04o}); make it yours alone (chmod 600 {kept / 'key.pem'}) or name another")
    with pytest.raises(UnsafeCertificateDirectory) as refused:
        with serve():
            pass
    assert str(refused.value) == complaint
    finished = subprocess.run([sys.executable, "-m", "pixelmend.sandbox", "demo-key", "street.jpg", "black_white"],
                              cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert (finished.returncode, finished.stdout, finished.stderr) == (2, "", complaint + "\n")
