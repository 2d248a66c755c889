from __future__ import annotations

import json
import tempfile
import time
from pathlib import Path
from typing import AbstractSet, Any, Callable, Optional
from urllib.parse import urlsplit

from werkzeug.exceptions import HTTPException, NotFound
from werkzeug.routing import Map, Rule
from werkzeug.wrappers import Request, Response

from .download_faults import answer_download
from .downloads import ResultStore, StallEnded
from .endpoints import ENDPOINTS, ENDPOINTS_BY_NAME, Endpoint
from .faults import FaultPlan, RawReply
from .processing import perform, refused
from .records import CONNECTION_KEY, RequestLog, record_for
from .routing import is_loopback_host
from .upload import MalformedUpload, Upload, drain_body, parse_upload

DOWNLOAD_ENDPOINT = "download"


def _url_map() -> Map:
    rules = [Rule(e.path, endpoint=e.name, methods=["POST"]) for e in ENDPOINTS]
    rules.append(Rule("/results/<request_id>/<path:name>", endpoint=DOWNLOAD_ENDPOINT, methods=["GET"]))
    return Map(rules, strict_slashes=False, merge_slashes=False)


def json_response(payload: Any, status: int = 200) -> Response:
    return Response(json.dumps(payload), status=status, mimetype="application/json")


class SandboxApp:
    def __init__(
        self,
        workspace: Path,
        faults: FaultPlan,
        log: RequestLog,
        accepted_keys: Optional[AbstractSet[str]],
        origin: Callable[[], str],
    ):
        self.url_map = _url_map()
        self.uploads = workspace / "uploads"
        self.uploads.mkdir(parents=True, exist_ok=True)
        self.store = ResultStore(workspace / "results")
        self.faults = faults
        self.log = log
        self.accepted_keys = accepted_keys
        self.origin = origin

    def __call__(self, environ, start_response):
        request = Request(environ)
        return self.dispatch(request)(environ, start_response)

    def dispatch(self, request: Request) -> Response:
        adapter = self.url_map.bind_to_environ(request.environ)
        try:
            endpoint, arguments = adapter.match()
        except NotFound as error:
            return self._logged(request, self._unknown_path(request, error))
        except HTTPException as error:
            return self._logged(request, error.get_response(request.environ))
        if endpoint == DOWNLOAD_ENDPOINT:
            return self._download(request, **arguments)
        return self._operation(request, ENDPOINTS_BY_NAME[endpoint])

    def _logged(
        self,
        request: Request,
        response: Response,
        upload: Optional[Upload] = None,
        reply: Any = None,
        fault: Optional[str] = None,
    ) -> Response:
        self.log.add(record_for(
            request.method, request.path, response.status_code, upload, reply,
            connection=request.environ.get(CONNECTION_KEY, 0), range_header=request.headers.get("Range"), fault=fault,
        ))
        return response

    def _operation(self, request: Request, endpoint: Endpoint) -> Response:
        if self.faults.take_post_stall():
            # The whole upload arrives, as for a service busy with a long job; then silence.
            drain_body(request.environ)
            self.faults.wait_out_stall()
            raise StallEnded(f"stalled {request.method} {request.path} released")
        unread, payload = self.faults.take_unread_post()
        if unread:
            return self._unread(request, payload)
        with tempfile.TemporaryDirectory(dir=self.uploads) as scratch:
            try:
                upload = parse_upload(request.environ, Path(scratch))
            except MalformedUpload as error:
                reply = refused(str(error))
                return self._logged(request, json_response(reply, 400), None, reply)
            response, reply = self._answer(request, endpoint, upload)
        time.sleep(self.faults.take_post_delay())
        return self._logged(request, response, upload, reply)

    def _unread(self, request: Request, payload: Any) -> Response:
        received = drain_body(request.environ)
        reply = {**payload, "received_bytes": received} if isinstance(payload, dict) else payload
        return self._logged(request, json_response(reply), None, reply)

    # The results are named at the address the client reached, so that a client behind a link in
    # front of the service downloads through it too; a Host that is not a loopback name is not trusted.
    def _origin_for(self, request: Request) -> str:
        try:
            reached = urlsplit(f"//{request.host}").hostname
        except ValueError:
            reached = None
        return f"https://{request.host}" if is_loopback_host(reached) else self.origin()

    def _answer(self, request: Request, endpoint: Endpoint, upload: Upload) -> tuple[Response, Any]:
        action = self.faults.take_post_action()
        if isinstance(action, RawReply):
            body = action.body.decode("utf-8", "replace")
            return Response(action.body, status=action.status, content_type=action.content_type), body
        request_id = self.store.new_request_id()
        public_path = f"{self._origin_for(request)}/results/{request_id}"
        reply = perform(endpoint, upload, self.accepted_keys, self.store.directory(request_id), public_path)
        if action is not None:
            reply = action.apply(reply)
        return json_response(reply), reply

    def _download(self, request: Request, request_id: str, name: str) -> Response:
        path = self.store.find(request_id, name)
        if path is None:
            return self._logged(request, self._unknown_path(request, NotFound()))
        range_header = request.headers.get("Range")
        fault = self.faults.take_download_fault(name, ranged=range_header is not None)
        response = answer_download(path, range_header, fault, self.faults.wait_out_stall, request.environ)
        return self._logged(request, response, fault=fault.kind if fault is not None else None)

    def _unknown_path(self, request: Request, error: NotFound) -> Response:
        planted = self.faults.unknown_download_content()
        if request.method == "GET" and planted is not None:
            return Response(planted, mimetype="application/octet-stream")
        return error.get_response(request.environ)
