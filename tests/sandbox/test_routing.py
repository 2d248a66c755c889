import os
import socket
import types

import pytest
import requests
from requests_toolbelt import MultipartEncoder

from pixelmend.sandbox import SERVICE_BASE, RefusedDestination, Router, is_loopback_host, running, serve
from pixelmend.sandbox.certificate import GIVEN_CERTIFICATE_VARIABLE


@pytest.fixture
def outside_attempts(monkeypatch):
    attempts = []
    real_connect, real_getaddrinfo = socket.socket.connect, socket.getaddrinfo

    def guarded_connect(sock, address):
        if isinstance(address, tuple) and not is_loopback_host(address[0]):
            attempts.append(("connect", address[0]))
            raise OSError("test guard: outside connection blocked")
        return real_connect(sock, address)

    def guarded_getaddrinfo(host, *args, **kwargs):
        text = host.decode() if isinstance(host, bytes) else host
        if not is_loopback_host(text):
            attempts.append(("resolve", text))
            raise socket.gaierror("test guard: outside lookup blocked")
        return real_getaddrinfo(host, *args, **kwargs)

    monkeypatch.setattr(socket.socket, "connect", guarded_connect)
    monkeypatch.setattr(socket, "getaddrinfo", guarded_getaddrinfo)
    return attempts


@pytest.fixture
def proxy(service):
    client = types.ModuleType("stand_in_client")
    client.requests = requests
    with service.route(client) as installed:
        yield installed


@pytest.mark.parametrize(
    "host, loopback",
    [
        ("127.0.0.1", True),
        ("::1", True),
        ("localhost", True),
        ("10.0.0.1", False),
        ("0.0.0.0", False),
        ("api.pixelmend.ai", False),
        ("example.invalid", False),
        ("127.0.0.1.example.invalid", False),
        (None, False),
    ],
)
def test_loopback_hosts(host, loopback):
    assert is_loopback_host(host) is loopback


@pytest.mark.parametrize(
    "url, expected",
    [
        (SERVICE_BASE + "/vision/v0/black-white", "https://127.0.0.1:4443/vision/v0/black-white"),
        (SERVICE_BASE + ":443/vision/v0/colorization?x=1", "https://127.0.0.1:4443/vision/v0/colorization?x=1"),
        ("https://API.PIXELMEND.AI/vision/v0/getIdentityData", "https://127.0.0.1:4443/vision/v0/getIdentityData"),
        ("https://127.0.0.1:4443/results/abc/x.png", "https://127.0.0.1:4443/results/abc/x.png"),
        ("https://localhost:9/elsewhere", "https://localhost:9/elsewhere"),
    ],
)
def test_router_rewrites_only_the_service_base(url, expected):
    router = Router("https://127.0.0.1:4443")
    assert router.destination("post", url) == expected
    assert router.seen() == [("POST", url)]


@pytest.mark.parametrize(
    "url",
    [
        "http://api.pixelmend.ai/vision/v0/black-white",
        "https://api.pixelmend.ai:8443/vision/v0/black-white",
        "https://api.pixelmend.ai.example.invalid/vision/v0/black-white",
        "https://example.invalid/x",
        "https://10.0.0.1/x",
        "https://[fe80::1]/x",
    ],
)
def test_router_refuses_everything_else(url):
    with pytest.raises(RefusedDestination):
        Router("https://127.0.0.1:4443").destination("GET", url)


@pytest.mark.parametrize(
    "call",
    [
        lambda p, url: p.get(url, stream=True, verify=False),
        lambda p, url: p.post(url, data={"a": "b"}, verify=False),
        lambda p, url: p.Session().post(url, data=b"x", verify=False),
        lambda p, url: p.request("PUT", url, verify=False),
    ],
)
@pytest.mark.parametrize("url", ["https://example.invalid/x", "https://10.0.0.1/x", "http://api.pixelmend.ai/x"])
def test_refused_requests_open_no_socket(proxy, outside_attempts, call, url):
    with pytest.raises(requests.exceptions.ConnectionError) as raised:
        call(proxy, url)
    assert isinstance(raised.value, RefusedDestination)
    assert outside_attempts == []


def test_redirected_or_prepared_requests_are_checked_too(proxy, outside_attempts):
    session = proxy.Session()
    prepared = requests.Request("GET", "https://10.0.0.1/x").prepare()
    with pytest.raises(RefusedDestination):
        session.send(prepared, verify=False)
    assert outside_attempts == []


def test_environment_proxies_are_ignored(proxy, service, outside_attempts, monkeypatch):
    monkeypatch.setenv("HTTPS_PROXY", "http://10.0.0.1:3128")
    monkeypatch.setenv("ALL_PROXY", "http://10.0.0.1:3128")
    assert proxy.get(service.url + "/results/x/y", verify=False).status_code == 404
    assert outside_attempts == []


def test_client_traffic_reaches_the_local_service(proxy, service, png_bytes):
    encoder = MultipartEncoder(fields=[("api_key", "k"), ("option", "1"), ("image", ("p.png", png_bytes(), "image/png"))])
    url = SERVICE_BASE + "/vision/v0/black-white"
    reply = proxy.Session().post(url, data=encoder, headers={"Content-Type": encoder.content_type}, verify=False).json()
    download = proxy.get(reply["path"] + "/p_bw.png", stream=True, verify=False)
    body = b"".join(download.iter_content(chunk_size=8192))
    assert body.startswith(b"\x89PNG")
    assert proxy.seen() == service.routed_urls() == [("POST", url), ("GET", reply["path"] + "/p_bw.png")]
    assert service.received()[-2].path == "/vision/v0/black-white"


def test_proxy_delegates_the_rest_of_requests(proxy):
    assert proxy.exceptions is requests.exceptions
    assert proxy.Response is requests.Response
    assert proxy.codes.ok == 200
    with pytest.raises(AttributeError):
        proxy.no_such_thing


def test_service_certificate_is_valid_for_loopback(service):
    response = requests.get(service.url + "/results/x/y", verify=str(service.certificate_path))
    assert response.status_code == 404


def test_service_serves_a_certificate_made_beforehand(service, tmp_path, monkeypatch):
    for name in ("certificate.pem", "key.pem"):
        (tmp_path / name).write_bytes((service.certificate_path.parent / name).read_bytes())
    (tmp_path / "key.pem").chmod(0o600)
    monkeypatch.setenv(GIVEN_CERTIFICATE_VARIABLE, str(tmp_path))
    with serve() as second:
        assert second.certificate_path.read_bytes() == (tmp_path / "certificate.pem").read_bytes()
        response = requests.get(second.url + "/results/x/y", verify=str(tmp_path / "certificate.pem"))
    assert response.status_code == 404


@pytest.mark.parametrize("had_requests", [True, False])
def test_routing_is_undone_even_after_an_error(service, had_requests):
    client = types.ModuleType("stand_in_client")
    if had_requests:
        client.requests = requests
    with pytest.raises(KeyError):
        with service.route(client) as installed:
            assert client.requests is installed
            raise KeyError("boom")
    assert getattr(client, "requests", None) is (requests if had_requests else None)


def test_running_starts_routes_and_stops():
    client = types.ModuleType("stand_in_client")
    client.requests = requests
    with running(module=client) as local:
        url = local.url
        assert client.requests.get(url + "/nothing", verify=False).status_code == 404
    assert client.requests is requests
    with pytest.raises(requests.exceptions.ConnectionError):
        requests.get(url + "/nothing", verify=False, timeout=2)


# Processes a pool starts with spawn or forkserver import the client afresh, unrouted:
# the address reaches them only through the environment.
@pytest.mark.parametrize("before", [None, "https://127.0.0.1:9/elsewhere"], ids=["unset", "set"])
def test_running_names_itself_as_the_base_address_while_it_runs(monkeypatch, before):
    if before is None:
        monkeypatch.delenv("PIXELMEND_BASE_URL", raising=False)
    else:
        monkeypatch.setenv("PIXELMEND_BASE_URL", before)
    client = types.ModuleType("stand_in_client")
    with running(module=client) as outer:
        assert os.environ.get("PIXELMEND_BASE_URL") == outer.url
        with pytest.raises(KeyError):
            with running(module=client) as inner:
                assert os.environ.get("PIXELMEND_BASE_URL") == inner.url != outer.url
                raise KeyError("boom")
        assert os.environ.get("PIXELMEND_BASE_URL") == outer.url
    assert os.environ.get("PIXELMEND_BASE_URL") == before
