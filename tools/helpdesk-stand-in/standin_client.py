"""Start the helpdesk stand-in as a child process and drive its admin API.

    sys.path.insert(0, "<repo>/tools/helpdesk-stand-in")
    from standin_client import HelpdeskStandIn

    with HelpdeskStandIn() as server:
        server.queue_command(uid, {"command_type": "force_audit"})
        server.wait_for("command-updates", device_uid=uid, status="completed")

Only the standard library is used here, so the helper also works where
aiohttp is not importable.
"""

import ctypes
import json
import os
import selectors
import signal
import ssl
import subprocess
import urllib.error
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
STANDIN_SCRIPT = os.path.join(HERE, "standin.py")
DEFAULT_PYTHON = "/usr/bin/python3"
_UNSET = object()


class AdminError(Exception):
    """An admin call answered with a status outside 200-299."""

    def __init__(self, status, body):
        super().__init__("admin call failed with HTTP %d: %s" % (status, body))
        self.status = status
        self.body = body


class StandInTimeout(AdminError):
    """A wait call ended before its condition held; body carries what was seen."""


def _die_with_parent():
    # Linux only: a test runner killed hard must not leave the server behind.
    try:
        ctypes.CDLL("libc.so.6", use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


class HelpdeskStandIn:
    def __init__(
        self,
        cert_dir=None,
        untrusted=False,
        viewer_tokens=(),
        port=0,
        admin_port=0,
        python=DEFAULT_PYTHON,
        start_timeout=20.0,
        stderr=None,
    ):
        self.cert_dir = cert_dir
        self.untrusted = untrusted
        self.viewer_tokens = list(viewer_tokens)
        self.port_request = port
        self.admin_port_request = admin_port
        self.python = python
        self.start_timeout = start_timeout
        self.stderr = stderr
        self.process = None
        self.url = self.ca = self.admin_url = None

    # -- process --------------------------------------------------------

    def start(self):
        command = [self.python, STANDIN_SCRIPT, "--port", str(self.port_request), "--admin-port", str(self.admin_port_request)]
        if self.cert_dir:
            command += ["--cert-dir", self.cert_dir]
        if self.untrusted:
            command.append("--untrusted")
        for token in self.viewer_tokens:
            command += ["--viewer-token", token]
        self.process = subprocess.Popen(
            command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr, preexec_fn=_die_with_parent
        )
        try:
            line = self._read_announcement()
            info = json.loads(line)
            self.url, self.ca, self.admin_url = info["url"], info["ca"], info["admin_url"]
        except BaseException:
            self.stop()
            raise
        return self

    def _read_announcement(self):
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(self.start_timeout):
                raise RuntimeError("stand-in did not announce itself within %.0f s" % self.start_timeout)
        line = self.process.stdout.readline().decode("utf-8").strip()
        if not line:
            raise RuntimeError("stand-in exited before announcing itself (status %s)" % self.process.wait(5))
        return line

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout:
            self.process.stdout.close()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    @property
    def port(self):
        return int(self.url.rsplit(":", 1)[1])

    @property
    def control_url(self):
        return "wss://127.0.0.1:%d/api/agent/control" % self.port

    def ssl_context(self):
        """A client TLS context that trusts exactly the stand-in's CA."""
        context = ssl.create_default_context(cafile=self.ca)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        return context

    # -- raw admin call -------------------------------------------------

    def admin(self, method, path, body=_UNSET, query=None, data=None, timeout=None):
        url = self.admin_url + path
        if query:
            pairs = {k: _query_text(v) for k, v in query.items() if v is not None}
            if pairs:
                url += "?" + urllib.parse.urlencode(pairs)
        headers = {"Accept": "application/json"}
        if body is not _UNSET:
            data = json.dumps(body).encode("utf-8")
            headers["Content-Type"] = "application/json"
        request = urllib.request.Request(url, data=data, method=method, headers=headers)
        wait = float(query.get("timeout", 0)) if query and query.get("timeout") is not None else 0
        try:
            with urllib.request.urlopen(request, timeout=timeout or wait + 15) as response:
                return json.loads(response.read() or b"null")
        except urllib.error.HTTPError as error:
            raw = error.read()
            try:
                parsed = json.loads(raw)
            except ValueError:
                parsed = raw.decode("utf-8", "replace")
            if error.code == 408:
                raise StandInTimeout(error.code, parsed) from None
            raise AdminError(error.code, parsed) from None

    # -- general --------------------------------------------------------

    def health(self):
        return self.admin("GET", "/admin/health")

    def reset(self):
        return self.admin("POST", "/admin/reset")

    def list(self, collection, **filters):
        """Entries of "requests", "inventories", "heartbeats", "command-updates",
        "chat-messages", "tickets" or "control/messages", filtered by field values."""
        return self.admin("GET", "/admin/" + collection, query=filters)["items"]

    def wait_for(self, collection, count=1, timeout=10.0, **filters):
        """Wait until the collection holds `count` matching entries; returns them."""
        query = dict(filters, count=count, timeout=timeout)
        return self.admin("GET", "/admin/" + collection + "/wait", query=query)["items"]

    def requests(self, **filters):
        return self.list("requests", **filters)

    def wait_for_requests(self, count=1, timeout=10.0, **filters):
        return self.wait_for("requests", count, timeout, **filters)

    def clear_requests(self):
        return self.admin("DELETE", "/admin/requests")

    # -- faults ---------------------------------------------------------

    def add_fault(self, path=None, action="status", **options):
        wanted = dict(options, action=action)
        if path is not None:
            wanted["path"] = path
        return self.admin("POST", "/admin/faults", wanted)["items"][0]

    def fail_with_status(self, path, status, body=_UNSET, count=1, **options):
        if body is not _UNSET:
            options["body"] = body
        return self.add_fault(path, "status", status=status, count=count, **options)

    def delay(self, path, seconds=30.0, count=1, **options):
        return self.add_fault(path, "delay", delay_seconds=seconds, count=count, **options)

    def drop_connection(self, path, stage="mid_body", count=1, **options):
        return self.add_fault(path, "drop", stage=stage, count=count, **options)

    def malformed_json(self, path, body=None, count=1, **options):
        if body is not None:
            options["body"] = body
        return self.add_fault(path, "malformed_json", count=count, **options)

    def endless_body(self, path, body=None, chunk=None, count=1, **options):
        """Answer with a body that never ends: `body` once, then `chunk` for ever."""
        extra = {k: v for k, v in (("body", body), ("chunk", chunk)) if v is not None}
        return self.add_fault(path, action="endless", count=count, **extra, **options)

    def faults(self):
        return self.admin("GET", "/admin/faults")["items"]

    def clear_faults(self):
        return self.admin("DELETE", "/admin/faults")

    # -- tokens and devices ---------------------------------------------

    def get_viewer_tokens(self):
        return self.admin("GET", "/admin/viewer-tokens")

    def set_viewer_tokens(self, tokens, accept_any=False):
        return self.admin("PUT", "/admin/viewer-tokens", {"tokens": list(tokens), "accept_any": accept_any})

    def devices(self):
        return self.admin("GET", "/admin/devices")["items"]

    def revoke_device_token(self, device_uid):
        return self.admin("POST", "/admin/devices/%s/revoke-token" % _segment(device_uid))

    def deactivate_device(self, device_uid):
        return self.admin("POST", "/admin/devices/%s/deactivate" % _segment(device_uid))

    def reactivate_device(self, device_uid):
        return self.admin("POST", "/admin/devices/%s/reactivate" % _segment(device_uid))

    # -- commands -------------------------------------------------------

    def queue_command(self, device_uid, command, notify=True):
        """Queue any JSON value as a command; objects without "id" get one. Returns the stored command."""
        body = {"command": command, "notify": notify}
        return self.admin("POST", "/admin/devices/%s/commands" % _segment(device_uid), body)["command"]

    def commands(self, device_uid):
        return self.admin("GET", "/admin/devices/%s/commands" % _segment(device_uid))["items"]

    # -- update manifest and packages -----------------------------------

    def set_manifest(self, manifest):
        return self.admin("PUT", "/admin/update/manifest", manifest)["manifest"]

    def manifest(self):
        return self.admin("GET", "/admin/update/manifest")["manifest"]

    def clear_manifest(self):
        return self.admin("DELETE", "/admin/update/manifest")

    def upload_package(self, name, data):
        return self.admin("PUT", "/admin/packages/" + _segment(name), data=bytes(data))

    def packages(self):
        return self.admin("GET", "/admin/packages")["items"]

    def publish_update(self, package, version, **overrides):
        body = {"package": package, "version": version, "overrides": overrides}
        return self.admin("POST", "/admin/update/publish", body)["manifest"]

    # -- customer panel -------------------------------------------------

    def add_customer(self, email, password, **profile):
        return self.admin("POST", "/admin/customers", dict(profile, email=email, password=password))["customer"]

    def add_notification(self, email, **fields):
        return self.admin("POST", "/admin/customers/notifications", dict(fields, email=email))

    def expire_customer_sessions(self, email=None):
        return self.admin("POST", "/admin/customers/sessions/expire", {} if email is None else {"email": email})

    def revoke_customer_sessions(self, email=None):
        """Sessions (all, or the customer's) now get 401 "customer session revoked"."""
        return self.admin("POST", "/admin/customers/sessions/revoke", {} if email is None else {"email": email})

    def create_customer_session(self, email, ttl_seconds=None):
        """A session as a login would open it, without sending the password."""
        body = {"email": email} if ttl_seconds is None else {"email": email, "ttl_seconds": ttl_seconds}
        return self.admin("POST", "/admin/customers/sessions", body)

    # -- tickets --------------------------------------------------------

    def set_ticket_answer(self, **answer):
        """ticket_number (True: generated, False: left out, None or a string: sent as such),
        public_id_prefix, ticket_url (bool); keys not given return to their defaults."""
        return self.admin("PUT", "/admin/tickets/answer", answer)

    def ticket_answer(self):
        return self.admin("GET", "/admin/tickets/answer")

    def add_ticket_reply(self, public_id, message_text=None, **fields):
        """A consultant's reply to a filed ticket, notified to the ticket's customer e-mail."""
        if message_text is not None:
            fields["message_text"] = message_text
        return self.admin("POST", "/admin/tickets/%s/replies" % _segment(public_id), fields)

    # -- control channel ------------------------------------------------

    def control_connections(self, include_closed=False):
        return self.admin("GET", "/admin/control/connections", query={"all": 1 if include_closed else None})["items"]

    def wait_for_control(self, device_uid=None, timeout=10.0):
        return self.admin("GET", "/admin/control/wait", query={"device_uid": device_uid, "timeout": timeout})["items"]

    def control_messages(self, **filters):
        return self.list("control/messages", **filters)

    def wait_for_control_messages(self, count=1, timeout=10.0, **filters):
        return self.wait_for("control/messages", count, timeout, **filters)

    def clear_control_messages(self):
        return self.admin("DELETE", "/admin/control/messages")

    def send_control(self, device_uid, message=_UNSET, raw=None, frame="text"):
        """Push a JSON value (message) or raw text (raw) to the device's control socket."""
        body = {"frame": frame}
        if raw is not None:
            body["raw"] = raw
        else:
            body["message"] = message
        return self.admin("POST", "/admin/control/%s/send" % _segment(device_uid), body)["sent"]

    def drop_control(self, device_uid, mode="close", code=1001):
        return self.admin("POST", "/admin/control/%s/drop" % _segment(device_uid), {"mode": mode, "code": code})

    def reject_control(self, status_code=401, detail="invalid device token", current=False, next=None, device_uid=None):
        body = {"status_code": status_code, "detail": detail, "current": current, "device_uid": device_uid}
        if next is not None:
            body["next"] = next
        return self.admin("POST", "/admin/control/reject", body)

    # -- remote sessions ------------------------------------------------

    def create_remote_session(self, device_uid, **options):
        return self.admin("POST", "/admin/remote/sessions", dict(options, device_uid=device_uid))

    def remote_sessions(self):
        return self.admin("GET", "/admin/remote/sessions")["items"]

    def remote_session(self, public_id):
        return self.admin("GET", "/admin/remote/sessions/" + _segment(public_id))

    def wait_for_remote_session(self, public_id, status=None, received=0, timeout=10.0):
        query = {"status": status, "received": received, "timeout": timeout}
        return self.admin("GET", "/admin/remote/sessions/%s/wait" % _segment(public_id), query=query)

    def send_signaling(self, public_id, message=_UNSET, raw=None, frame="text"):
        body = {"frame": frame}
        if raw is not None:
            body["raw"] = raw
        else:
            body["message"] = message
        return self.admin("POST", "/admin/remote/sessions/%s/send" % _segment(public_id), body)

    def drop_signaling(self, public_id, mode="close", code=1001):
        return self.admin("POST", "/admin/remote/sessions/%s/drop" % _segment(public_id), {"mode": mode, "code": code})

    # -- listener stall -------------------------------------------------

    def stall_listener(self, stalled=True):
        """Stop (or resume) accepting connections on the public port: clients
        then hang in their TLS handshake until their own time-outs fire."""
        return self.admin("PUT", "/admin/listener", {"stalled": stalled})


def _segment(value):
    return urllib.parse.quote(str(value), safe="")


def _query_text(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return str(value)

