import socket
import threading
import time

import pytest
import requests

from pixelmend.sandbox import Service, serve


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


def test_a_kept_certificate_verifies_for_the_loopback_names(tmp_path, monkeypatch):
    kept = tmp_path / "made" / "here"
    monkeypatch.setenv("PIXELMEND_SANDBOX_CERTIFICATE_DIR", str(kept))
    with serve() as first:
        made = (kept / "certificate.pem").read_bytes()
        assert first.certificate_path.read_bytes() == made
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
