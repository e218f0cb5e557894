"""Control WebSocket and remote-session signalling WebSocket of the stand-in.

The control socket is always upgraded; a refused agent learns why from a
"control-rejected" message (its hello is read first so that the refusal is
what the agent receives, not a broken pipe). Signalling refusals happen
before the upgrade, as plain HTTP answers.
"""

import asyncio
import json

from aiohttp import WSMsgType, web

from api import DEVICE_MISMATCH, authenticate, device_for_path, problem
from store import utc_now_iso

HELLO_TIMEOUT_SECONDS = 10.0
MAX_MESSAGE_BYTES = 16 * 1024 * 1024
REJECT_CLOSE_CODE = 1008


class LiveSocket:
    """An open socket the admin API may close; its handler waits for that close before returning.

    Without the wait, the handler's own closing (code 1000) would overtake the
    code the admin asked for.
    """

    def __init__(self, ws, request, conn=None):
        self.ws = ws
        self.request = request
        self.conn = conn
        self.closing = None

    def close(self, code):
        if self.closing is None:
            self.closing = asyncio.ensure_future(self.ws.close(code=code))

    def abort(self):
        if self.request.transport is not None:
            self.request.transport.abort()

    async def settle(self):
        if self.closing is not None:
            await self.closing


class ControlHub:
    """Open control sockets by device, and the operations the admin API uses on them."""

    def __init__(self, store):
        self.store = store
        self.sockets = {}  # connection_id -> LiveSocket

    def open_for(self, device_uid=None):
        return [
            live
            for live in self.sockets.values()
            if live.closing is None and (device_uid is None or live.conn["device_uid"] == device_uid)
        ]

    def is_connected(self, device_uid):
        return bool(self.open_for(device_uid))

    async def send(self, device_uid, payload, frame="text"):
        """Send text (a str) to every open socket of the device; returns how many got it."""
        sent = 0
        for live in self.open_for(device_uid):
            if live.ws.closed:
                continue
            if frame == "binary":
                await live.ws.send_bytes(payload.encode("utf-8"))
            else:
                await live.ws.send_str(payload)
            sent += 1
        return sent

    async def send_json(self, device_uid, message):
        return await self.send(device_uid, json.dumps(message))

    async def drop(self, device_uid=None, mode="close", code=1001):
        dropped = 0
        for live in self.open_for(device_uid):
            if mode == "abort":
                live.abort()
            else:
                live.close(code)
            dropped += 1
        return dropped

    async def reject_current(self, rejection, device_uid=None):
        rejected = 0
        for live in self.open_for(device_uid):
            live.conn["state"] = "rejected"
            live.conn["rejection"] = rejection
            if not live.ws.closed:
                await live.ws.send_str(json.dumps(_rejection_message(rejection)))
            live.close(REJECT_CLOSE_CODE)
            rejected += 1
        return rejected

    async def close_all(self):
        await self.drop(None, "close", 1001)

    async def handle(self, request):
        auth = authenticate(self.store, request)
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE_BYTES)
        await ws.prepare(request)
        conn = {
            "connection_id": self.store.next_connection_id,
            "device_uid": auth.device["device_uid"] if auth.device else None,
            "auth": auth.kind,
            "connected_at": utc_now_iso(),
            "closed_at": None,
            "state": "awaiting_hello",
            "hello": None,
            "rejection": None,
        }
        self.store.next_connection_id += 1
        self.store.control_connections.append(conn)
        self.store.changed()
        live = LiveSocket(ws, request, conn)
        try:
            hello = await self._read_hello(ws, conn)
            conn["hello"] = hello
            rejection = self._rejection_for(auth, conn, hello)
            if rejection is not None:
                conn["state"] = "rejected"
                conn["rejection"] = rejection
                if not ws.closed:
                    await ws.send_str(json.dumps(_rejection_message(rejection)))
                    await ws.close(code=REJECT_CLOSE_CODE)
                return ws
            if conn["device_uid"] is None:
                conn["device_uid"] = hello["device_uid"]
            conn["state"] = "open"
            self.sockets[conn["connection_id"]] = live
            self.store.changed()
            await ws.send_str(json.dumps({"type": "control-ready", "device_uid": conn["device_uid"]}))
            await self._receive_loop(ws, conn)
            await live.settle()
        finally:
            self.sockets.pop(conn["connection_id"], None)
            if conn["state"] != "rejected":
                conn["state"] = "closed"
            conn["closed_at"] = utc_now_iso()
            self.store.changed()
        return ws

    async def _read_hello(self, ws, conn):
        try:
            msg = await ws.receive(timeout=HELLO_TIMEOUT_SECONDS)
        except asyncio.TimeoutError:
            return None
        if msg.type not in (WSMsgType.TEXT, WSMsgType.BINARY):
            return None
        entry = self.store.add_control_message(conn, _frame_name(msg), msg.data)
        return entry["json"]

    def _rejection_for(self, auth, conn, hello):
        if auth.error:
            return {"status_code": auth.error[0], "detail": auth.error[1]}
        if not isinstance(hello, dict) or hello.get("type") != "hello":
            return {"status_code": 400, "detail": "hello expected"}
        uid = hello.get("device_uid")
        if not isinstance(uid, str) or not uid.strip():
            return {"status_code": 400, "detail": "device_uid is required"}
        if conn["device_uid"] is not None and conn["device_uid"] != uid:
            return {"status_code": 403, "detail": DEVICE_MISMATCH}
        if conn["device_uid"] is None:
            device = self.store.devices.get(uid)
            if device is None:
                return {"status_code": 404, "detail": "device not registered"}
            if not device["active"]:
                return {"status_code": 410, "detail": "device is deactivated"}
        scripted = self.store.take_control_rejection(conn["device_uid"] or uid)
        if scripted is not None:
            return {k: scripted[k] for k in ("status_code", "detail") if k in scripted}
        return None

    async def _receive_loop(self, ws, conn):
        async for msg in ws:
            if msg.type not in (WSMsgType.TEXT, WSMsgType.BINARY):
                continue
            entry = self.store.add_control_message(conn, _frame_name(msg), msg.data)
            if entry["type"] == "heartbeat":
                await ws.send_str(json.dumps({"type": "heartbeat-ack", "received_at": entry["at"]}))


def _rejection_message(rejection):
    message = {"type": "control-rejected"}
    message.update({k: v for k, v in rejection.items() if k in ("status_code", "detail")})
    return message


def _frame_name(msg):
    return "binary" if msg.type == WSMsgType.BINARY else "text"


class SignalingHub:
    """Signalling sockets of remote sessions: sends the scripted messages, records the agent's."""

    def __init__(self, store):
        self.store = store
        self.sockets = {}  # public_id -> LiveSocket

    async def send(self, public_id, payload, frame="text"):
        live = self.sockets.get(public_id)
        if live is None or live.closing is not None or live.ws.closed:
            return 0
        if frame == "binary":
            await live.ws.send_bytes(payload.encode("utf-8"))
        else:
            await live.ws.send_str(payload)
        return 1

    async def drop(self, public_id, mode="close", code=1001):
        live = self.sockets.get(public_id)
        if live is None or live.closing is not None:
            return 0
        if mode == "abort":
            live.abort()
        else:
            live.close(code)
        return 1

    async def close_all(self):
        for public_id in list(self.sockets):
            await self.drop(public_id)

    async def handle(self, request):
        session = self.store.remote_sessions.get(request.match_info["public_id"])
        if session is None:
            return problem(404, "remote session not found")
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        _, error = device_for_path(self.store, auth, session["device_uid"])
        if error is not None:
            return error
        ws = web.WebSocketResponse(max_msg_size=MAX_MESSAGE_BYTES)
        await ws.prepare(request)
        public_id = session["public_id"]
        live = LiveSocket(ws, request)
        self.sockets[public_id] = live
        session["signaling_connections"] += 1
        session["signaling_connected"] = True
        self.store.changed()
        try:
            for message in session["signaling_script"]:
                if session["signaling_delay_ms"]:
                    await asyncio.sleep(session["signaling_delay_ms"] / 1000.0)
                if ws.closed:
                    break
                text = message if isinstance(message, str) else json.dumps(message)
                await ws.send_str(text)
                session["signaling_sent"].append(message)
                self.store.changed()
            async for msg in ws:
                if msg.type not in (WSMsgType.TEXT, WSMsgType.BINARY):
                    continue
                data = msg.data if isinstance(msg.data, str) else msg.data.decode("utf-8", "replace")
                try:
                    parsed, text = json.loads(data), None
                except ValueError:
                    parsed, text = None, data
                session["signaling_received"].append(
                    {"at": utc_now_iso(), "frame": _frame_name(msg), "json": parsed, "text": text}
                )
                self.store.changed()
            await live.settle()
        finally:
            if self.sockets.get(public_id) is live:
                del self.sockets[public_id]
            session["signaling_connected"] = False
            session["signaling_close_code"] = ws.close_code
            self.store.changed()
        return ws
