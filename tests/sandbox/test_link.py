import os
import socket
import threading
import time
from urllib.parse import urlsplit

import pytest
import requests
from PIL import Image

from pixelmend.sandbox.link import Link

BLACK_WHITE = "/vision/v0/black-white"
CONTENT = os.urandom(200_000)


def through(link, url):
    return link.url + urlsplit(url).path


@pytest.mark.parametrize("kept_alive", [True, False])
def test_the_link_counts_connections_and_names_results_through_itself(service, png_bytes, kept_alive):
    fields = {"api_key": "k", "option": "1"}
    with Link.to(service, rtt=0.002) as link, requests.Session() as session:
        get = session.get if kept_alive else requests.get
        reply = session.post(link.url + BLACK_WHITE, data=fields, files={"image": ("p.png", png_bytes())},
                             verify=False).json()
        assert reply["path"].startswith(link.url + "/results/")
        for _ in range(10):
            assert get(reply["path"] + "/p_bw.png", verify=False).status_code == 200
        assert link.connections == (1 if kept_alive else 11)
    assert len({r.connection for r in service.received()}) == link.connections


@pytest.mark.parametrize(
    ("rtt", "rate", "at_least"),
    [(0.1, None, 0.0), (0.0, 16e6, len(CONTENT) * 8 / 16e6)],
    ids=["round-trip", "rate"],
)
def test_the_link_adds_its_round_trip_and_holds_to_its_rate(service, publish, rtt, rate, at_least):
    url = publish(service, CONTENT)
    with Link.to(service, rtt=rtt, rate=rate) as link, requests.Session() as session:
        started = time.monotonic()
        assert session.get(through(link, url), verify=False).content == CONTENT
        # A new connection: TCP's handshake, TLS's, then the request.
        assert time.monotonic() - started >= 3 * rtt + at_least
        started = time.monotonic()
        assert session.get(through(link, url), verify=False).content == CONTENT
        assert time.monotonic() - started >= rtt + at_least


def test_a_cut_body_reaches_the_client_through_the_link(service, publish):
    url = publish(service, CONTENT)
    service.faults.cut_download("result.bin", 50_000)
    with Link.to(service, rtt=0.01) as link:
        response = requests.get(through(link, url), verify=False, stream=True, timeout=30)
        received = bytearray()
        with pytest.raises(requests.exceptions.ChunkedEncodingError):
            for chunk in response.iter_content(chunk_size=1000):
                received += chunk
        assert bytes(received) == CONTENT[:50_000]
        assert requests.get(through(link, url), verify=False, timeout=30).content == CONTENT


def test_the_routed_client_goes_through_the_link(service, tmp_path, monkeypatch):
    client_module = pytest.importorskip("pixelmend.main")
    image = tmp_path / "p.png"
    Image.new("RGB", (40, 30), "red").save(image)
    monkeypatch.chdir(tmp_path)
    with Link.to(service, rtt=0.002) as link, service.route(client_module, via=link):
        message = client_module.Pixelmend("k").black_white(str(image))
        assert link.connections >= 2
    assert message.startswith("Files downloaded to ")
    assert (tmp_path / "results" / "p.png" / "p_bw.png").is_file()
    assert [method for method, _ in service.routed_urls()] == ["POST", "GET"]


# On Windows and under Wine, shutdown() does not end a recv() blocked in another thread, as it does on
# Linux: stop() must end the relay's readers all the same.
@pytest.mark.parametrize("shutdown_ends_reads", [True, False], ids=["shutdown-ends-reads", "reads-stay-blocked"])
def test_stop_ends_the_link_with_a_connection_open(service, monkeypatch, shutdown_ends_reads):
    if not shutdown_ends_reads:
        monkeypatch.setattr(socket.socket, "shutdown", lambda sock, how: None)
    before = set(threading.enumerate())
    link = Link.to(service, rtt=0.002).start()
    with requests.Session() as session:
        assert session.get(link.url + "/results/x/y", verify=False).status_code == 404
        stopping = threading.Thread(target=link.stop)
        stopping.start()
        stopping.join(10)
        assert not stopping.is_alive()
    assert set(threading.enumerate()) - before == set()


@pytest.mark.parametrize("hosts", [("0.0.0.0", "127.0.0.1"), ("127.0.0.1", "10.0.0.1")])
def test_the_link_joins_loopback_addresses_only(hosts):
    with pytest.raises(ValueError):
        Link(hosts[1], 443, host=hosts[0])
