"""In-memory state of the helpdesk stand-in.

Everything the server knows lives in one `Store`: registered devices and
their tokens, queued commands, everything the agent reported, customer
accounts, the update manifest and packages, and the log of every request.
All access happens on the one asyncio loop, so no locks are needed; waiters
are woken through `changed()`.
"""

import asyncio
import datetime
import json
import secrets

FINAL_COMMAND_STATUSES = ("completed", "failed")
COMMAND_STATUSES = ("picked_up",) + FINAL_COMMAND_STATUSES


def utc_now_iso(offset_seconds=0):
    moment = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    moment += datetime.timedelta(seconds=offset_seconds)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def default_ticket_answer():
    """How a filed ticket is answered (PUT /admin/tickets/answer changes it)."""
    return {"ticket_number": True, "public_id_prefix": "KOVA-", "ticket_url": True}


def command_id_of(command):
    """The integer id of a queued command, or None when it has none."""
    if isinstance(command, dict):
        value = command.get("id")
        if isinstance(value, int) and not isinstance(value, bool):
            return value
    return None


def command_type_of(command):
    if not isinstance(command, dict):
        return None
    value = command.get("command_type", command.get("commandType"))
    return value if isinstance(value, str) else None


class Store:
    def __init__(self, viewer_tokens=()):
        self._default_viewer_tokens = [t for t in viewer_tokens if t]
        self._event = asyncio.Event()
        self.reset()

    def reset(self):
        self.viewer_tokens = set(self._default_viewer_tokens)
        # Without configured tokens any non-empty viewer token is a company token.
        self.accept_any_viewer_token = not self._default_viewer_tokens
        self.devices = {}
        self.device_tokens = {}
        self.commands = []
        self.next_command_id = 1
        self.command_updates = []
        self.inventories = []
        self.heartbeats = []
        self.chat_messages = []
        self.tickets = []
        self.ticket_answer = default_ticket_answer()
        self.remote_sessions = {}
        self.manifest = None
        self.packages = {}
        self.customers = {}
        self.customer_sessions = {}
        self.customer_session_ttl = 12 * 3600
        self.notifications = []
        self.next_message_id = 1
        self.requests = []
        self.next_request_seq = 1
        self.control_messages = []
        self.next_control_seq = 1
        self.control_connections = []
        self.next_connection_id = 1
        self.control_rejections = []
        self.changed()

    # -- waking waiters -------------------------------------------------

    def changed(self):
        self._event.set()
        self._event = asyncio.Event()

    async def wait_for(self, predicate, timeout):
        """Wait until predicate() returns a truthy value; returns it, or None on time-out."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + max(0.0, timeout)
        while True:
            value = predicate()
            if value:
                return value
            remaining = deadline - loop.time()
            if remaining <= 0:
                return None
            event = self._event
            try:
                await asyncio.wait_for(event.wait(), remaining)
            except asyncio.TimeoutError:
                pass

    # -- devices --------------------------------------------------------

    def register_device(self, device_uid, hostname):
        device = self.devices.get(device_uid)
        if device is None:
            number = len(self.devices) + 1
            device = {
                "device_uid": device_uid,
                "support_id": str(100000000 + number * 7919),
                "public_id": "dev_" + secrets.token_hex(6),
                "device_token": None,
                "hostname": hostname,
                "active": True,
                "registered_at": utc_now_iso(),
                "last_inventory_at": None,
                "last_heartbeat_at": None,
            }
            self.devices[device_uid] = device
        if hostname:
            device["hostname"] = hostname
        if device["device_token"] is None:
            self.issue_device_token(device_uid)
        return device

    def issue_device_token(self, device_uid):
        device = self.devices[device_uid]
        if device["device_token"]:
            self.device_tokens.pop(device["device_token"], None)
        token = "dt_" + secrets.token_urlsafe(24)
        device["device_token"] = token
        self.device_tokens[token] = device_uid
        return token

    def revoke_device_token(self, device_uid):
        device = self.devices[device_uid]
        if device["device_token"]:
            self.device_tokens.pop(device["device_token"], None)
        device["device_token"] = None

    def device_for_token(self, token):
        uid = self.device_tokens.get(token)
        return self.devices.get(uid) if uid is not None else None

    # -- commands -------------------------------------------------------

    def queue_command(self, device_uid, command):
        """Queue any JSON value; objects without an "id" get the next integer id."""
        if isinstance(command, dict) and "id" not in command:
            command = dict(command)
            command["id"] = self.next_command_id
        cid = command_id_of(command)
        if cid is not None:
            self.next_command_id = max(self.next_command_id, cid + 1)
        entry = {
            "device_uid": device_uid,
            "command": command,
            "status": "queued",
            "queued_at": utc_now_iso(),
            "updates": [],
        }
        self.commands.append(entry)
        self.changed()
        return entry

    def pending_commands(self, device_uid, command_type=None):
        result = []
        for entry in self.commands:
            if entry["device_uid"] != device_uid or entry["status"] in FINAL_COMMAND_STATUSES:
                continue
            if command_type is not None and command_type_of(entry["command"]) != command_type:
                continue
            result.append(entry["command"])
        return result

    def find_command(self, command_id):
        for entry in self.commands:
            if command_id_of(entry["command"]) == command_id:
                return entry
        return None

    # -- request log ----------------------------------------------------

    def add_request(self, entry):
        entry["seq"] = self.next_request_seq
        self.next_request_seq += 1
        self.requests.append(entry)
        self.changed()
        return entry

    # -- control channel ------------------------------------------------

    def add_control_message(self, connection, frame, raw):
        entry = {
            "seq": self.next_control_seq,
            "at": utc_now_iso(),
            "connection_id": connection["connection_id"],
            "device_uid": connection["device_uid"],
            "frame": frame,
            "json": None,
            "text": None,
            "type": None,
        }
        self.next_control_seq += 1
        parsed = parse_json_text(raw)
        if parsed is _INVALID:
            entry["text"] = raw
        else:
            entry["json"] = parsed
            if isinstance(parsed, dict) and isinstance(parsed.get("type"), str):
                entry["type"] = parsed["type"]
        self.control_messages.append(entry)
        self.changed()
        return entry

    def take_control_rejection(self, device_uid):
        for rejection in self.control_rejections:
            if rejection["device_uid"] not in (None, device_uid):
                continue
            if rejection["remaining"] > 0:
                rejection["remaining"] -= 1
                return rejection
        return None


_INVALID = object()


def parse_json_text(raw):
    """Parse text or bytes as JSON; returns _INVALID when it is not JSON."""
    try:
        if isinstance(raw, (bytes, bytearray)):
            raw = raw.decode("utf-8")
        return json.loads(raw)
    except (ValueError, UnicodeDecodeError):
        return _INVALID


def is_invalid(value):
    return value is _INVALID
