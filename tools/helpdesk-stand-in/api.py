"""Public REST endpoints of the helpdesk stand-in (agent devices, downloads); tickets and the customer panel are in tickets.py."""

import hashlib
import json

from aiohttp import web

from store import COMMAND_STATUSES, FINAL_COMMAND_STATUSES, utc_now_iso

MISSING_VIEWER_TOKEN = "missing viewer token"
INVALID_VIEWER_TOKEN = "invalid viewer token"
INVALID_DEVICE_TOKEN = "invalid device token"
DEVICE_MISMATCH = "device token does not match device"
DEVICE_DEACTIVATED = "device is deactivated"


def json_response(body, status=200):
    return web.json_response(body, status=status, dumps=json.dumps)


def problem(status, detail):
    return json_response({"detail": detail}, status=status)


class Auth:
    """Outcome of checking the Authorization header of a device-side request."""

    def __init__(self, kind=None, device=None, error=None):
        self.kind = kind  # "device" or "viewer"
        self.device = device  # the token's device for "device"
        self.error = error  # (status, detail) when refused

    def response(self):
        return problem(*self.error)


def authenticate(store, request):
    header = request.headers.get("Authorization", "").strip()
    scheme, _, token = header.partition(" ")
    token = token.strip()
    if scheme.lower() == "device":
        device = store.device_for_token(token) if token else None
        if device is None:
            return Auth(error=(401, INVALID_DEVICE_TOKEN))
        if not device["active"]:
            return Auth(error=(410, DEVICE_DEACTIVATED))
        return Auth("device", device=device)
    if scheme.lower() == "bearer" and token:
        if token in store.viewer_tokens or store.accept_any_viewer_token:
            return Auth("viewer")
        return Auth(error=(401, INVALID_VIEWER_TOKEN))
    # No header, an empty bearer token, or a scheme this server does not know.
    return Auth(error=(401, MISSING_VIEWER_TOKEN))


def device_for_path(store, auth, device_uid):
    """Resolve the device named in a path for an authenticated caller; (device, error response)."""
    if auth.kind == "device":
        if auth.device["device_uid"] != device_uid:
            return None, problem(403, DEVICE_MISMATCH)
        return auth.device, None
    device = store.devices.get(device_uid)
    if device is None:
        return None, problem(404, "device not registered")
    if not device["active"]:
        return None, problem(410, DEVICE_DEACTIVATED)
    return device, None


async def json_object_body(request):
    """The request body as a JSON object; (object, error response)."""
    try:
        body = json.loads(await request.read() or b"null")
    except (ValueError, UnicodeDecodeError):
        return None, problem(400, "request body is not valid JSON")
    if not isinstance(body, dict):
        return None, problem(422, "request body must be a JSON object")
    return body, None


def _string(value):
    return value if isinstance(value, str) else None


class AgentApi:
    def __init__(self, store, base_url):
        self.store = store
        self.base_url = base_url

    def routes(self):
        return [
            web.post("/api/agent/devices/register", self.register),
            web.post("/api/agent/devices/heartbeat", self.heartbeat),
            web.get("/api/agent/devices/{uid}/commands/pending", self.pending),
            web.post("/api/agent/device-commands/{id}/status", self.command_status),
            web.get("/api/agent/viewer/updates/manifest", self.manifest),
            web.post("/api/agent/devices/{uid}/chat-messages", self.chat_message),
            web.post("/api/agent/remote/sessions/{public_id}/status", self.remote_status),
            web.get("/downloads/{name}", self.download),
        ]

    # -- device side ----------------------------------------------------

    async def register(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        body, error = await json_object_body(request)
        if error is not None:
            return error
        hostname = _string(body.get("hostname"))
        if auth.kind == "device":
            # The token names the device; the reported uid is kept only as reported data.
            device_uid = auth.device["device_uid"]
        else:
            device_uid = (_string(body.get("device_uid")) or "").strip()
            if not device_uid:
                return problem(422, "device_uid is required")
            known = self.store.devices.get(device_uid)
            if known is not None and not known["active"]:
                return problem(410, DEVICE_DEACTIVATED)
        device = self.store.register_device(device_uid, hostname)
        device["last_inventory_at"] = utc_now_iso()
        self.store.inventories.append(
            {"device_uid": device_uid, "auth": auth.kind, "at": device["last_inventory_at"], "payload": body}
        )
        self.store.changed()
        return json_response(
            {
                "device_uid": device["device_uid"],
                "support_id": device["support_id"],
                "public_id": device["public_id"],
                "device_token": device["device_token"],
                "status": "registered",
            }
        )

    async def heartbeat(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        body, error = await json_object_body(request)
        if error is not None:
            return error
        if auth.kind == "device":
            device = auth.device
        else:
            device, error = device_for_path(self.store, auth, _string(body.get("device_uid")) or "")
            if error is not None:
                return error
        device["last_heartbeat_at"] = utc_now_iso()
        self.store.heartbeats.append(
            {"device_uid": device["device_uid"], "auth": auth.kind, "at": device["last_heartbeat_at"], "payload": body}
        )
        self.store.changed()
        return json_response({"status": "ok", "received_at": device["last_heartbeat_at"]})

    async def pending(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        device, error = device_for_path(self.store, auth, request.match_info["uid"])
        if error is not None:
            return error
        command_type = request.query.get("command_type")
        return json_response(self.store.pending_commands(device["device_uid"], command_type))

    async def command_status(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        try:
            command_id = int(request.match_info["id"])
        except ValueError:
            return problem(404, "command not found")
        entry = self.store.find_command(command_id)
        if entry is None:
            return problem(404, "command not found")
        _, error = device_for_path(self.store, auth, entry["device_uid"])
        if error is not None:
            return error
        body, error = await json_object_body(request)
        if error is not None:
            return error
        status = body.get("status")
        if status not in COMMAND_STATUSES:
            return problem(422, "status must be one of " + ", ".join(COMMAND_STATUSES))
        result = body.get("result")
        if not isinstance(result, dict):
            return problem(422, "result must be a JSON object")
        update = {
            "command_id": command_id,
            "device_uid": entry["device_uid"],
            "status": status,
            "result": result,
            "auth": auth.kind,
            "at": utc_now_iso(),
        }
        # A finished command stays finished; later reports are still recorded.
        if entry["status"] not in FINAL_COMMAND_STATUSES:
            entry["status"] = status
        entry["updates"].append(update)
        self.store.command_updates.append(update)
        self.store.changed()
        return json_response({"id": command_id, "status": entry["status"]})

    async def manifest(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        if self.store.manifest is not None:
            return json_response(self.store.manifest)
        query = request.query
        # No published package: a manifest without URL means "nothing to install".
        return json_response(
            {
                "platform": query.get("platform") or "macos",
                "architecture": query.get("architecture") or "arm64",
                "channel": query.get("channel") or "stable",
                "version": query.get("current_version") or "0.0.0",
                "url": "",
                "mandatory": False,
                "silent_args": [],
            }
        )

    async def chat_message(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        device, error = device_for_path(self.store, auth, request.match_info["uid"])
        if error is not None:
            return error
        body, error = await json_object_body(request)
        if error is not None:
            return error
        for key in ("text", "public_id", "client_message_id"):
            if not isinstance(body.get(key), str) or not body[key].strip():
                return problem(422, key + " is required")
        for key in ("sender", "sent_at"):
            if key in body and body[key] is not None and not isinstance(body[key], str):
                return problem(422, key + " must be a string")
        for message in self.store.chat_messages:
            if message["device_uid"] == device["device_uid"] and message["client_message_id"] == body["client_message_id"]:
                # A repeated delivery of the same message is acknowledged, not stored twice.
                message["deliveries"] += 1
                self.store.changed()
                return json_response({"id": message["id"], "status": "duplicate"})
        message = {
            "id": len(self.store.chat_messages) + 1,
            "device_uid": device["device_uid"],
            "text": body["text"],
            "sender": body.get("sender"),
            "public_id": body["public_id"],
            "client_message_id": body["client_message_id"],
            "sent_at": body.get("sent_at"),
            "received_at": utc_now_iso(),
            "deliveries": 1,
        }
        self.store.chat_messages.append(message)
        self.store.changed()
        return json_response({"id": message["id"], "status": "received"}, status=201)

    async def remote_status(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        session = self.store.remote_sessions.get(request.match_info["public_id"])
        if session is None:
            return problem(404, "remote session not found")
        _, error = device_for_path(self.store, auth, session["device_uid"])
        if error is not None:
            return error
        body, error = await json_object_body(request)
        if error is not None:
            return error
        status = body.get("status")
        if not isinstance(status, str) or not status.strip():
            return problem(422, "status is required")
        if not isinstance(body.get("metadata"), dict):
            return problem(422, "metadata must be a JSON object")
        if "error_message" in body and not isinstance(body["error_message"], str):
            return problem(422, "error_message must be a string")
        update = {"status": status, "metadata": body["metadata"], "at": utc_now_iso()}
        if "error_message" in body:
            update["error_message"] = body["error_message"]
        session["status"] = status
        session["status_updates"].append(update)
        self.store.changed()
        return json_response({"public_id": session["public_id"], "status": status})

    # -- update packages ------------------------------------------------

    async def download(self, request):
        package = self.store.packages.get(request.match_info["name"])
        if package is None:
            return problem(404, "package not found")
        return web.Response(body=package, content_type="application/octet-stream")


def package_info(base_url, name, data):
    return {
        "name": name,
        "url": base_url + "/downloads/" + name,
        "sha256": hashlib.sha256(data).hexdigest(),
        "size_bytes": len(data),
    }
