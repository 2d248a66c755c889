import socket
import threading

import pytest
import requests

from pixelmend.sandbox import Service

BLACK_WHITE = "/vision/v0/black-white"


def test_result_files_ride_one_kept_alive_connection(service, post, png_bytes):
    reply = post(BLACK_WHITE, [("api_key", "k"), ("option", "1"), ("image", ("p.png", png_bytes(), "image/png"))]).json()
    url = reply["path"] + "/" + reply["filenames"][0]
    with requests.Session() as session:
        bodies = set()
        for _ in range(20):
            response = session.get(url, verify=False)
            assert response.status_code == 200 and "close" not in response.headers.get("Connection", "")
            bodies.add(response.content)
    gets = [r for r in service.received() if r.method == "GET"]
    assert len(gets) == 20 and len(bodies) == 1
    assert len({r.connection for r in gets}) == 1 and gets[0].connection > 0


def idle_kept_alive_connection(local, session, url):
    assert session.get(url, verify=False).status_code == 200


def request_stalled(after_bytes):
    def stalled_download(local, session, url):
        local.faults.stall_download("result.bin", after_bytes)
        outcome, answered = [], threading.Event()

        def fetch():
            try:
                response = session.get(url, verify=False, timeout=60, stream=True)
                answered.set()
                response.content
            except (requests.exceptions.ConnectionError, requests.exceptions.ChunkedEncodingError) as error:
                outcome.append(error)
            answered.set()

        waiting = threading.Thread(target=fetch)
        waiting.start()
        # With its first bytes sent, the request is held in its stall when the service stops;
        # with none, the service may stop before the request reaches it.
        if after_bytes is not None:
            answered.wait()
        return waiting, outcome

    return stalled_download


def silent_connection(local, session, url):
    session.silent = socket.create_connection(("127.0.0.1", local.port))


@pytest.mark.parametrize(
    "open_connection",
    [idle_kept_alive_connection, request_stalled(None), request_stalled(100), silent_connection],
    ids=["idle-kept-alive", "stalling", "stalled", "silent"],
)
def test_stop_ends_every_thread_it_started(publish, open_connection):
    before = set(threading.enumerate())
    with requests.Session() as session:
        local = Service().start()
        try:
            url = publish(local, b"x" * 100_000)
            opened = open_connection(local, session, url)
        finally:
            local.stop()
        if opened is not None:
            waiting, outcome = opened
            waiting.join()
            assert len(outcome) == 1
        if hasattr(session, "silent"):
            session.silent.close()
        assert local.errors == []
    assert set(threading.enumerate()) - before == set()


def test_an_error_inside_the_service_reaches_its_handle_only(publish, monkeypatch, capfd):
    def broken(*arguments):
        raise RuntimeError("the answer could not be made")

    monkeypatch.setattr("pixelmend.sandbox.app.answer_download", broken)
    with Service() as local, requests.Session() as session:
        url = publish(local, b"x")
        assert session.get(url, verify=False).status_code == 500
        assert session.get(local.url + "/results/x/y", verify=False).status_code == 404
        assert len(local.errors) == 1 and "RuntimeError: the answer could not be made" in local.errors[0]
    assert capfd.readouterr() == ("", "")
