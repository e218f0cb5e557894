"""Request recording and scripted faults for the public (HTTPS) side.

Every request is recorded before anything else happens, so even a request
that is then dropped or delayed shows up in the log. A fault rule matches a
path (exactly or by prefix) and optionally a method, and acts on the next
`count` matching requests (or on every one when count is null).
"""

import asyncio
import base64
import json

from aiohttp import web

from store import is_invalid, parse_json_text, utc_now_iso

ACTIONS = ("status", "delay", "drop", "malformed_json", "endless")
DROP_STAGES = ("mid_body", "before_response")
DEFAULT_DELAY_SECONDS = 30.0
DEFAULT_MALFORMED_BODY = '{"device_uid": "truncated", "support_id": '
DEFAULT_ENDLESS_BODY = "["
DEFAULT_ENDLESS_CHUNK = '{"id": 0, "command_type": "noop"},'


class FaultError(ValueError):
    pass


class Faults:
    def __init__(self):
        self.rules = []
        self._next_id = 1

    def clear(self):
        self.rules = []

    def add(self, wanted):
        """Validate an admin fault description and keep it; returns the stored rule."""
        if not isinstance(wanted, dict):
            raise FaultError("fault must be a JSON object")
        path = wanted.get("path")
        prefix = wanted.get("path_prefix")
        if not isinstance(path, str) and not isinstance(prefix, str):
            raise FaultError("fault needs \"path\" or \"path_prefix\"")
        action = wanted.get("action", "status")
        if action not in ACTIONS:
            raise FaultError("action must be one of " + ", ".join(ACTIONS))
        method = wanted.get("method")
        if method is not None and not isinstance(method, str):
            raise FaultError("method must be a string")
        count = wanted.get("count", 1)
        if count is not None and (not _is_int(count) or count < 1):
            raise FaultError("count must be a positive integer or null (every request)")
        status = wanted.get("status", 503 if action == "status" else 200)
        if not _is_int(status) or not 100 <= status <= 599:
            raise FaultError("status must be an integer from 100 to 599")
        delay = wanted.get("delay_seconds", DEFAULT_DELAY_SECONDS)
        if not isinstance(delay, (int, float)) or isinstance(delay, bool) or delay < 0:
            raise FaultError("delay_seconds must be a non-negative number")
        stage = wanted.get("stage", "mid_body")
        if stage not in DROP_STAGES:
            raise FaultError("stage must be one of " + ", ".join(DROP_STAGES))
        headers = wanted.get("headers", {})
        if not isinstance(headers, dict) or not all(isinstance(v, str) for v in headers.values()):
            raise FaultError("headers must be an object of strings")
        chunk = wanted.get("chunk", DEFAULT_ENDLESS_CHUNK)
        if not isinstance(chunk, str) or not chunk:
            raise FaultError("chunk must be a non-empty string")
        content_type = wanted.get("content_type")
        if content_type is not None and not isinstance(content_type, str):
            raise FaultError("content_type must be a string")
        rule = {
            "id": self._next_id,
            "path": path if isinstance(path, str) else None,
            "path_prefix": prefix if isinstance(prefix, str) else None,
            "method": method.upper() if method else None,
            "action": action,
            "status": status,
            "body": wanted.get("body"),
            "has_body": "body" in wanted,
            "content_type": content_type,
            "headers": headers,
            "delay_seconds": float(delay),
            "stage": stage,
            "chunk": chunk,
            "remaining": count,
            "hits": 0,
        }
        self._next_id += 1
        self.rules.append(rule)
        return rule

    def take(self, method, path):
        """The first live rule matching the request, with its counter spent."""
        for rule in self.rules:
            if rule["remaining"] == 0:
                continue
            if rule["method"] and rule["method"] != method:
                continue
            if rule["path"] is not None and rule["path"] != path:
                continue
            if rule["path_prefix"] is not None and not path.startswith(rule["path_prefix"]):
                continue
            if rule["remaining"] is not None:
                rule["remaining"] -= 1
            rule["hits"] += 1
            return rule
        return None


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _headers_of(request):
    headers = {}
    for name, value in request.headers.items():
        key = name.lower()
        headers[key] = headers[key] + ", " + value if key in headers else value
    return headers


async def record_request(store, request):
    body = await request.read()
    entry = {
        "at": utc_now_iso(),
        "method": request.method,
        "path": request.path,
        "raw_path": request.rel_url.raw_path,
        "query_string": request.query_string,
        "query": {key: request.query.getall(key)[-1] for key in request.query.keys()},
        "headers": _headers_of(request),
        "body_size": len(body),
        "json": None,
        "text": None,
        "status": None,
        "fault": None,
    }
    if body:
        parsed = parse_json_text(body)
        if is_invalid(parsed):
            try:
                entry["text"] = body.decode("utf-8")
            except UnicodeDecodeError:
                entry["body_base64"] = base64.b64encode(body).decode("ascii")
        else:
            entry["json"] = parsed
    return store.add_request(entry)


async def _drop(request, rule):
    if rule["stage"] == "mid_body":
        response = web.StreamResponse(status=rule["status"])
        response.content_type = "application/json"
        response.content_length = 4096
        await response.prepare(request)
        await response.write(b'{"device_uid": "partial", "commands": [')
    if request.transport is not None:
        request.transport.abort()
    # Ending the handler by cancellation keeps aiohttp from writing to the dead socket.
    raise asyncio.CancelledError()


async def _endless(request, rule):
    """A chunked body that never ends: the body text, then the chunk for ever
    (until the client goes away)."""
    response = web.StreamResponse(status=rule["status"])
    response.content_type = rule["content_type"] or "application/json"
    response.enable_chunked_encoding()
    await response.prepare(request)
    head = rule["body"] if isinstance(rule["body"], str) else DEFAULT_ENDLESS_BODY
    block = (rule["chunk"] * max(1, 65536 // len(rule["chunk"]))).encode()
    try:
        await response.write(head.encode())
        while True:
            await response.write(block)
    except (ConnectionError, asyncio.CancelledError):
        pass
    if request.transport is not None:
        request.transport.abort()
    raise asyncio.CancelledError()


def _scripted_response(rule):
    body = rule["body"] if rule["has_body"] else {"detail": "scripted fault"}
    if isinstance(body, str):
        response = web.Response(
            status=rule["status"], text=body, content_type=rule["content_type"] or "text/plain"
        )
    else:
        response = web.Response(
            status=rule["status"],
            text=json.dumps(body),
            content_type=rule["content_type"] or "application/json",
        )
    for name, value in rule["headers"].items():
        response.headers[name] = value
    return response


def make_middleware(store, faults):
    @web.middleware
    async def middleware(request, handler):
        entry = await record_request(store, request)
        rule = faults.take(request.method, request.path)
        if rule is not None:
            entry["fault"] = rule["action"]
            if rule["action"] == "status":
                entry["status"] = rule["status"]
                return _scripted_response(rule)
            if rule["action"] == "malformed_json":
                entry["status"] = rule["status"]
                body = rule["body"] if isinstance(rule["body"], str) else DEFAULT_MALFORMED_BODY
                return web.Response(status=rule["status"], text=body, content_type="application/json")
            if rule["action"] == "drop":
                await _drop(request, rule)
            if rule["action"] == "endless":
                entry["status"] = rule["status"]
                await _endless(request, rule)
            if rule["action"] == "delay":
                await asyncio.sleep(rule["delay_seconds"])
        try:
            response = await handler(request)
        except web.HTTPException as exc:
            entry["status"] = exc.status
            raise
        entry["status"] = response.status
        store.changed()
        return response

    return middleware
