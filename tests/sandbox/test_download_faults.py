import datetime
import os

import pytest
import requests

CONTENT = os.urandom(100_000)
NAME = "result.bin"


@pytest.fixture
def url(service, publish):
    return publish(service, CONTENT, NAME)


def tries(service):
    return [(r.range, r.fault, r.status) for r in service.downloads_of(NAME)]


def read_until_cut(response, block=1000):
    received = bytearray()
    with pytest.raises(requests.exceptions.ChunkedEncodingError):
        for chunk in response.iter_content(chunk_size=block):
            received += chunk
    return bytes(received)


@pytest.mark.parametrize(
    ("status", "retry_after", "header"),
    [
        (503, None, None),
        (429, 7, "7"),
        (503, datetime.datetime(2031, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc), "Tue, 06 May 2031 07:08:09 GMT"),
        (502, "soon", "soon"),
    ],
)
def test_a_status_for_the_first_tries(service, url, status, retry_after, header):
    service.faults.fail_download(NAME, status, tries=2, retry_after=retry_after)
    with requests.Session() as session:
        answers = [session.get(url, verify=False) for _ in range(3)]
    assert [a.status_code for a in answers] == [status, status, 200]
    assert [a.headers.get("Retry-After") for a in answers] == [header, header, None]
    assert answers[2].content == CONTENT
    assert tries(service) == [(None, "status", status), (None, "status", status), (None, None, 200)]


@pytest.mark.parametrize("stream", [True, False])
def test_a_cut_body_raises_in_requests(service, url, stream):
    service.faults.cut_download(NAME, 20_000, tries=2)
    with requests.Session() as session:
        for _ in range(2):
            if stream:
                response = session.get(url, verify=False, stream=True)
                assert int(response.headers["Content-Length"]) == len(CONTENT)
                assert read_until_cut(response) == CONTENT[:20_000]
            else:
                with pytest.raises(requests.exceptions.ChunkedEncodingError, match="IncompleteRead"):
                    session.get(url, verify=False)
        assert session.get(url, verify=False).content == CONTENT
    assert tries(service) == [(None, "cut", 200), (None, "cut", 200), (None, None, 200)]


def test_a_cut_body_resumes_with_a_range(service, url):
    service.faults.cut_download(NAME, 30_000)
    with requests.Session() as session:
        head = read_until_cut(session.get(url, verify=False, stream=True))
        rest = session.get(url, verify=False, headers={"Range": f"bytes={len(head)}-"})
    assert rest.status_code == 206
    assert rest.headers["Content-Range"] == f"bytes 30000-99999/{len(CONTENT)}"
    assert head + rest.content == CONTENT
    assert tries(service) == [(None, "cut", 200), ("bytes=30000-", None, 206)]


@pytest.mark.parametrize(
    ("plan", "asked", "status", "content_range", "body"),
    [
        (None, "bytes=1000-", 206, "bytes 1000-99999/100000", CONTENT[1000:]),
        (None, "bytes=1000-1999", 206, "bytes 1000-1999/100000", CONTENT[1000:2000]),
        (None, "bytes=-500", 206, "bytes 99500-99999/100000", CONTENT[-500:]),
        (None, "bytes=100000-", 416, "bytes */100000", b""),
        (None, "bytes=0-9, 20-29", 200, None, CONTENT),
        (lambda faults: faults.misplace_range(NAME, 0), "bytes=1000-", 206, "bytes 0-99999/100000", CONTENT),
        (lambda faults: faults.misplace_range(NAME, 999), "bytes=1000-", 206, "bytes 999-99999/100000", CONTENT[999:]),
        (lambda faults: faults.ignore_range(NAME), "bytes=1000-", 200, None, CONTENT),
    ],
    ids=["open", "closed", "suffix", "past-the-end", "several", "misplaced-at-0", "misplaced-one-early", "ignored"],
)
def test_range_requests(service, url, plan, asked, status, content_range, body):
    if plan is not None:
        plan(service.faults)
    with requests.Session() as session:
        # A request without a Range passes a fault planned for ranges by.
        assert session.get(url, verify=False).content == CONTENT
        answer = session.get(url, verify=False, headers={"Range": asked})
    assert (answer.status_code, answer.headers.get("Content-Range"), answer.content) == (status, content_range, body)
    fault = None if plan is None else service.downloads_of(NAME)[1].fault
    assert tries(service) == [(None, None, 200), (asked, fault, status)]
    assert (plan is None) == (fault is None)


def outcomes(url, count):
    seen = []
    with requests.Session() as session:
        for _ in range(count):
            try:
                response = session.get(url, verify=False)
            except requests.exceptions.ChunkedEncodingError:
                seen.append("cut")
            else:
                assert response.status_code == 503 or response.content == CONTENT
                seen.append(response.status_code)
    return seen


def test_unreliable_downloads_follow_their_seed(service, url):
    service.faults.unreliable_downloads(failing=0.3, cut=0.3, seed=11)
    first = outcomes(url, 40)
    service.faults.unreliable_downloads(failing=0.3, cut=0.3, seed=11)
    assert outcomes(url, 40) == first
    assert all(first.count(outcome) > 0 for outcome in (503, "cut", 200))
    assert [r.fault for r in service.downloads_of(NAME)[:40]] == [
        {503: "status", "cut": "cut", 200: None}[outcome] for outcome in first
    ]
    service.faults.clear()
    assert outcomes(url, 5) == [200] * 5


@pytest.mark.parametrize(
    "plan",
    [
        lambda faults: faults.fail_download(NAME, 503, tries=0),
        lambda faults: faults.fail_download(NAME, 99),
        lambda faults: faults.fail_download(NAME, retry_after=-1),
        lambda faults: faults.misplace_range(NAME, -1),
        lambda faults: faults.unreliable_downloads(failing=1.5),
        lambda faults: faults.unreliable_downloads(failing=0.6, cut=0.6),
    ],
)
def test_impossible_faults_are_refused(service, plan):
    with pytest.raises(ValueError):
        plan(service.faults)
