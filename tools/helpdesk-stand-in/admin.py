"""Admin API of the stand-in: plain HTTP on its own loopback port, JSON in and out.

Tests use it to script the server (commands, faults, tokens, manifest,
customers, control and signalling messages) and to read back everything the
agent sent.
"""

import json
import re
import secrets

from aiohttp import web

from api import json_response, package_info, problem
from faults import FaultError
from store import command_id_of, command_type_of, utc_now_iso

MAX_WAIT_SECONDS = 300.0
PACKAGE_NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9._-]*$")

# Lists of recorded reports that can be read and waited for by the same rules.
COLLECTIONS = {
    "requests": "requests",
    "inventories": "inventories",
    "heartbeats": "heartbeats",
    "command-updates": "command_updates",
    "chat-messages": "chat_messages",
    "tickets": "tickets",
    "control/messages": "control_messages",
}
RESERVED_QUERY_KEYS = ("count", "timeout", "since", "path_prefix")


async def read_json(request, default=None):
    raw = await request.read()
    if not raw.strip():
        return default
    try:
        return json.loads(raw)
    except (ValueError, UnicodeDecodeError):
        raise web.HTTPBadRequest(text=json.dumps({"detail": "body is not valid JSON"}), content_type="application/json")


async def read_object(request):
    body = await read_json(request, {})
    if not isinstance(body, dict):
        raise web.HTTPUnprocessableEntity(
            text=json.dumps({"detail": "body must be a JSON object"}), content_type="application/json"
        )
    return body


def _query_number(request, key, default, low, high):
    try:
        value = float(request.query.get(key, default))
    except ValueError:
        raise web.HTTPBadRequest(text=json.dumps({"detail": key + " must be a number"}), content_type="application/json")
    return min(max(value, low), high)


def _int_field(body, key, default, low=0, high=2**31):
    value = body.get(key, default)
    if not isinstance(value, int) or isinstance(value, bool) or not low <= value <= high:
        raise web.HTTPUnprocessableEntity(
            text=json.dumps({"detail": "%s must be an integer from %d to %d" % (key, low, high)}),
            content_type="application/json",
        )
    return value


def _text_of(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return "" if value is None else str(value)


def _filtered(entries, request, uses_seq):
    since = int(_query_number(request, "since", 0, 0, 1e18))
    filters = {k: v for k, v in request.query.items() if k not in RESERVED_QUERY_KEYS}
    prefix = request.query.get("path_prefix")
    result = []
    for position, entry in enumerate(entries, start=1):
        order = entry.get("seq", position) if uses_seq else position
        if order <= since:
            continue
        if prefix is not None and not str(entry.get("path", "")).startswith(prefix):
            continue
        if all(_text_of(entry.get(key)) == value for key, value in filters.items()):
            result.append(entry)
    return result


class AdminApi:
    def __init__(self, store, faults, control, signaling, base_url):
        self.store = store
        self.faults = faults
        self.control = control
        self.signaling = signaling
        self.base_url = base_url

    def routes(self):
        routes = [
            web.get("/admin/health", self.health),
            web.post("/admin/reset", self.reset),
            web.get("/admin/faults", self.list_faults),
            web.post("/admin/faults", self.add_fault),
            web.delete("/admin/faults", self.clear_faults),
            web.get("/admin/viewer-tokens", self.get_viewer_tokens),
            web.put("/admin/viewer-tokens", self.put_viewer_tokens),
            web.get("/admin/devices", self.list_devices),
            web.post("/admin/devices/{uid}/revoke-token", self.revoke_token),
            web.post("/admin/devices/{uid}/deactivate", self.deactivate),
            web.post("/admin/devices/{uid}/reactivate", self.reactivate),
            web.post("/admin/devices/{uid}/commands", self.queue_command),
            web.get("/admin/devices/{uid}/commands", self.list_commands),
            web.get("/admin/update/manifest", self.get_manifest),
            web.put("/admin/update/manifest", self.put_manifest),
            web.delete("/admin/update/manifest", self.delete_manifest),
            web.post("/admin/update/publish", self.publish),
            web.get("/admin/packages", self.list_packages),
            web.put("/admin/packages/{name}", self.put_package),
            web.get("/admin/control/connections", self.control_connections),
            web.get("/admin/control/wait", self.control_wait),
            web.delete("/admin/control/messages", self.clear_control_messages),
            web.post("/admin/control/reject", self.control_reject),
            web.post("/admin/control/{uid}/send", self.control_send),
            web.post("/admin/control/{uid}/drop", self.control_drop),
            web.get("/admin/remote/sessions", self.list_sessions),
            web.post("/admin/remote/sessions", self.create_session),
            web.get("/admin/remote/sessions/{public_id}", self.get_session),
            web.get("/admin/remote/sessions/{public_id}/wait", self.wait_session),
            web.post("/admin/remote/sessions/{public_id}/send", self.session_send),
            web.post("/admin/remote/sessions/{public_id}/drop", self.session_drop),
            web.delete("/admin/requests", self.clear_requests),
        ]
        for name, attribute in COLLECTIONS.items():
            routes.append(web.get("/admin/" + name, self._lister(attribute)))
            routes.append(web.get("/admin/" + name + "/wait", self._waiter(attribute)))
        return routes

    # -- general --------------------------------------------------------

    async def health(self, request):
        return json_response({"ok": True, "url": self.base_url})

    async def reset(self, request):
        await self.control.close_all()
        await self.signaling.close_all()
        self.faults.clear()
        self.store.reset()
        return json_response({"ok": True})

    def _lister(self, attribute):
        async def handler(request):
            entries = _filtered(getattr(self.store, attribute), request, attribute in ("requests", "control_messages"))
            return json_response({"items": entries})

        return handler

    def _waiter(self, attribute):
        async def handler(request):
            count = int(_query_number(request, "count", 1, 1, 1e9))
            timeout = _query_number(request, "timeout", 10, 0, MAX_WAIT_SECONDS)
            uses_seq = attribute in ("requests", "control_messages")

            def enough():
                entries = _filtered(getattr(self.store, attribute), request, uses_seq)
                return entries if len(entries) >= count else None

            entries = await self.store.wait_for(enough, timeout)
            if entries is None:
                seen = _filtered(getattr(self.store, attribute), request, uses_seq)
                return json_response({"detail": "timed out", "items": seen}, status=408)
            return json_response({"items": entries})

        return handler

    async def clear_requests(self, request):
        self.store.requests = []
        self.store.changed()
        return json_response({"ok": True})

    # -- faults ---------------------------------------------------------

    async def list_faults(self, request):
        return json_response({"items": self.faults.rules})

    async def add_fault(self, request):
        body = await read_json(request, {})
        rules_asked = body if isinstance(body, list) else [body]
        try:
            rules = [self.faults.add(wanted) for wanted in rules_asked]
        except FaultError as exc:
            return problem(422, str(exc))
        return json_response({"items": rules}, status=201)

    async def clear_faults(self, request):
        self.faults.clear()
        return json_response({"ok": True})

    # -- tokens and devices ---------------------------------------------

    async def get_viewer_tokens(self, request):
        return json_response(
            {"tokens": sorted(self.store.viewer_tokens), "accept_any": self.store.accept_any_viewer_token}
        )

    async def put_viewer_tokens(self, request):
        body = await read_object(request)
        tokens = body.get("tokens", [])
        if not isinstance(tokens, list) or not all(isinstance(t, str) and t.strip() for t in tokens):
            return problem(422, "tokens must be an array of non-empty strings")
        accept_any = body.get("accept_any", False)
        if not isinstance(accept_any, bool):
            return problem(422, "accept_any must be a boolean")
        self.store.viewer_tokens = {t.strip() for t in tokens}
        self.store.accept_any_viewer_token = accept_any
        return await self.get_viewer_tokens(request)

    async def list_devices(self, request):
        return json_response({"items": list(self.store.devices.values())})

    def _device(self, request):
        device = self.store.devices.get(request.match_info["uid"])
        if device is None:
            raise web.HTTPNotFound(text=json.dumps({"detail": "device not registered"}), content_type="application/json")
        return device

    async def revoke_token(self, request):
        device = self._device(request)
        self.store.revoke_device_token(device["device_uid"])
        return json_response(device)

    async def deactivate(self, request):
        device = self._device(request)
        device["active"] = False
        return json_response(device)

    async def reactivate(self, request):
        device = self._device(request)
        device["active"] = True
        return json_response(device)

    # -- commands -------------------------------------------------------

    async def queue_command(self, request):
        uid = request.match_info["uid"]
        body = await read_object(request)
        if "command" not in body:
            return problem(422, "body needs \"command\" (any JSON value)")
        notify = body.get("notify", True)
        entry = self.store.queue_command(uid, body["command"])
        notified = 0
        if notify:
            wake = {"type": "agent_command.queued"}
            if command_id_of(entry["command"]) is not None:
                wake["command_id"] = command_id_of(entry["command"])
            if command_type_of(entry["command"]) is not None:
                wake["command_type"] = command_type_of(entry["command"])
            notified = await self.control.send_json(uid, wake)
        return json_response({"command": entry["command"], "notified": notified}, status=201)

    async def list_commands(self, request):
        uid = request.match_info["uid"]
        entries = [e for e in self.store.commands if e["device_uid"] == uid]
        return json_response({"items": entries})

    # -- update manifest and packages -----------------------------------

    async def get_manifest(self, request):
        return json_response({"manifest": self.store.manifest})

    async def put_manifest(self, request):
        self.store.manifest = await read_json(request, None)
        return json_response({"manifest": self.store.manifest})

    async def delete_manifest(self, request):
        self.store.manifest = None
        return json_response({"manifest": None})

    async def list_packages(self, request):
        return json_response(
            {"items": [package_info(self.base_url, n, d) for n, d in sorted(self.store.packages.items())]}
        )

    async def put_package(self, request):
        name = request.match_info["name"]
        if not PACKAGE_NAME.match(name):
            return problem(422, "package name may hold letters, digits, '.', '_' and '-' only")
        data = await request.read()
        self.store.packages[name] = data
        return json_response(package_info(self.base_url, name, data), status=201)

    async def publish(self, request):
        body = await read_object(request)
        name = body.get("package")
        if name not in self.store.packages:
            return problem(404, "package not uploaded")
        version = body.get("version")
        if not isinstance(version, str) or not version:
            return problem(422, "version is required")
        info = package_info(self.base_url, name, self.store.packages[name])
        manifest = {
            "platform": "macos",
            "architecture": "arm64",
            "channel": "stable",
            "version": version,
            "url": info["url"],
            "sha256": info["sha256"],
            "size_bytes": info["size_bytes"],
            "mandatory": False,
            "silent_args": [],
        }
        overrides = body.get("overrides") or {}
        if not isinstance(overrides, dict):
            return problem(422, "overrides must be a JSON object")
        manifest.update(overrides)
        self.store.manifest = manifest
        return json_response({"manifest": manifest}, status=201)

    # -- control channel ------------------------------------------------

    async def control_connections(self, request):
        show_all = request.query.get("all") in ("1", "true")
        items = [c for c in self.store.control_connections if show_all or c["state"] == "open"]
        return json_response({"items": items})

    async def control_wait(self, request):
        uid = request.query.get("device_uid")
        timeout = _query_number(request, "timeout", 10, 0, MAX_WAIT_SECONDS)

        def connected():
            return [live.conn for live in self.control.open_for(uid)]

        found = await self.store.wait_for(connected, timeout)
        if not found:
            return problem(408, "timed out")
        return json_response({"items": found})

    async def clear_control_messages(self, request):
        self.store.control_messages = []
        self.store.changed()
        return json_response({"ok": True})

    async def control_send(self, request):
        body = await read_object(request)
        payload, frame, error = _outgoing(body)
        if error is not None:
            return error
        sent = await self.control.send(request.match_info["uid"], payload, frame)
        if not sent:
            return problem(409, "device not connected")
        return json_response({"sent": sent})

    async def control_drop(self, request):
        body = await read_object(request)
        mode = body.get("mode", "close")
        if mode not in ("close", "abort"):
            return problem(422, "mode must be close or abort")
        code = _int_field(body, "code", 1001, 1000, 4999)
        dropped = await self.control.drop(request.match_info["uid"], mode, code)
        if not dropped:
            return problem(409, "device not connected")
        return json_response({"dropped": dropped})

    async def control_reject(self, request):
        body = await read_object(request)
        rejection = {}
        # null leaves the key out of the message, so the agent's defaults can be exercised.
        status_code = body.get("status_code", 401)
        if status_code is not None:
            rejection["status_code"] = status_code
        detail = body.get("detail", "invalid device token")
        if detail is not None:
            rejection["detail"] = detail
        current = body.get("current", False)
        upcoming = body.get("next", 0 if current else 1)
        if not isinstance(upcoming, int) or isinstance(upcoming, bool) or upcoming < 0:
            return problem(422, "next must be a non-negative integer")
        uid = body.get("device_uid")
        rejected_now = await self.control.reject_current(rejection, uid) if current else 0
        if upcoming:
            self.store.control_rejections.append(dict(rejection, remaining=upcoming, device_uid=uid))
        return json_response({"rejected_now": rejected_now, "next": upcoming})

    # -- remote sessions ------------------------------------------------

    async def list_sessions(self, request):
        return json_response({"items": list(self.store.remote_sessions.values())})

    def _session(self, request):
        session = self.store.remote_sessions.get(request.match_info["public_id"])
        if session is None:
            raise web.HTTPNotFound(text=json.dumps({"detail": "remote session not found"}), content_type="application/json")
        return session

    async def get_session(self, request):
        return json_response(self._session(request))

    async def wait_session(self, request):
        session = self._session(request)
        status = request.query.get("status")
        received = int(_query_number(request, "received", 0, 0, 1e9))
        timeout = _query_number(request, "timeout", 10, 0, MAX_WAIT_SECONDS)

        def reached():
            has_status = status is None or any(u["status"] == status for u in session["status_updates"])
            return has_status and len(session["signaling_received"]) >= received

        if not await self.store.wait_for(reached, timeout):
            return json_response(dict(session, detail="timed out"), status=408)
        return json_response(session)

    async def create_session(self, request):
        body = await read_object(request)
        uid = body.get("device_uid")
        if not isinstance(uid, str) or uid not in self.store.devices:
            return problem(404, "device not registered")
        public_id = body.get("public_id") or "rs_" + secrets.token_hex(8)
        if not isinstance(public_id, str) or "/" in public_id:
            return problem(422, "public_id must be a string without '/'")
        script = body.get("signaling_messages", [])
        if not isinstance(script, list):
            return problem(422, "signaling_messages must be an array")
        metadata = body.get("metadata", {"requested_by": "Konsultant"})
        if not isinstance(metadata, dict):
            return problem(422, "metadata must be a JSON object")
        key_style = body.get("key_style", "snake")
        signaling_in = body.get("signaling_in", "control_urls")
        if key_style not in ("snake", "camel") or signaling_in not in ("control_urls", "relay_url"):
            return problem(422, "key_style must be snake or camel, signaling_in control_urls or relay_url")
        for key in ("status_url", "signaling_url"):
            if key in body and body[key] is not None and not isinstance(body[key], str):
                return problem(422, key + " must be a string or null")
        send_request = body.get("send_request", True)
        if send_request and not self.control.is_connected(uid):
            return problem(409, "device not connected")
        wss_base = "wss://" + self.base_url.split("://", 1)[1]
        session = {
            "public_id": public_id,
            "device_uid": uid,
            "metadata": metadata,
            "status_url": body.get("status_url", self.base_url + "/api/agent/remote/sessions/" + public_id + "/status"),
            "signaling_url": body.get(
                "signaling_url", wss_base + "/api/agent/remote/sessions/" + public_id + "/signaling"
            ),
            "signaling_script": script,
            "signaling_delay_ms": _int_field(body, "signaling_delay_ms", 0, 0, 600000),
            "signaling_sent": [],
            "signaling_received": [],
            "signaling_connected": False,
            "signaling_connections": 0,
            "signaling_close_code": None,
            "status": "requested",
            "status_updates": [],
            "created_at": utc_now_iso(),
        }
        self.store.remote_sessions[public_id] = session
        message = _session_request_message(session, key_style, signaling_in)
        sent = await self.control.send_json(uid, message) if send_request else 0
        self.store.changed()
        return json_response({"session": session, "message": message, "sent": sent}, status=201)

    async def session_send(self, request):
        session = self._session(request)
        body = await read_object(request)
        payload, frame, error = _outgoing(body)
        if error is not None:
            return error
        if not await self.signaling.send(session["public_id"], payload, frame):
            return problem(409, "signaling socket not connected")
        return json_response({"sent": 1})

    async def session_drop(self, request):
        session = self._session(request)
        body = await read_object(request)
        mode = body.get("mode", "close")
        if mode not in ("close", "abort"):
            return problem(422, "mode must be close or abort")
        if not await self.signaling.drop(session["public_id"], mode, _int_field(body, "code", 1001, 1000, 4999)):
            return problem(409, "signaling socket not connected")
        return json_response({"dropped": 1})


def _outgoing(body):
    """Payload text and frame kind of an admin send request; (text, frame, error response)."""
    frame = body.get("frame", "text")
    if frame not in ("text", "binary"):
        return None, None, problem(422, "frame must be text or binary")
    if "raw" in body:
        if not isinstance(body["raw"], str):
            return None, None, problem(422, "raw must be a string")
        return body["raw"], frame, None
    if "message" not in body:
        return None, None, problem(422, "body needs \"message\" (any JSON value) or \"raw\" (text)")
    return json.dumps(body["message"]), frame, None


def _session_request_message(session, key_style, signaling_in):
    camel = key_style == "camel"
    urls = {}
    if session["status_url"] is not None:
        urls["status"] = session["status_url"]
    described = {"publicId" if camel else "public_id": session["public_id"], "metadata": session["metadata"]}
    if session["signaling_url"] is not None:
        if signaling_in == "relay_url":
            described["relay_url"] = session["signaling_url"]
        else:
            urls["signaling"] = session["signaling_url"]
    described["controlUrls" if camel else "control_urls"] = urls
    return {"type": "remote_session.requested", "session": described}
