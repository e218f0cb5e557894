"""The helpdesk stand-in itself, driven over real TLS with its own CA.

Other end-to-end tests trust what the stand-in records and the faults it
plays, so its routes, token checks, command queue, fault scripting and
sockets are checked here directly.
"""

import asyncio
import base64
import hashlib
import http.client
import json
import pathlib
import socket
import ssl
import sys
import urllib.error
import urllib.request

import aiohttp
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools" / "helpdesk-stand-in"))
from standin_client import AdminError, HelpdeskStandIn, StandInTimeout  # noqa: E402

VIEWER = "company-token"
REGISTER = "/api/agent/devices/register"
HEARTBEAT = "/api/agent/devices/heartbeat"


@pytest.fixture(scope="module")
def running():
    with HelpdeskStandIn(viewer_tokens=[VIEWER]) as server:
        yield server


@pytest.fixture
def server(running):
    running.reset()
    return running


def call(server, method, path, body=None, auth=None, headers=None, timeout=5.0, raw=None):
    """One HTTPS request trusting only the stand-in CA; returns (status, content type, body bytes)."""
    data = raw if raw is not None else (json.dumps(body).encode() if body is not None else None)
    request = urllib.request.Request(server.url + path, data=data, method=method)
    request.add_header("Accept", "application/json")
    if data is not None:
        request.add_header("Content-Type", "application/json")
    if auth:
        request.add_header("Authorization", auth)
    for name, value in (headers or {}).items():
        request.add_header(name, value)
    try:
        with urllib.request.urlopen(request, context=server.ssl_context(), timeout=timeout) as response:
            return response.status, response.headers.get_content_type(), response.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get_content_type(), error.read()


def call_json(server, method, path, body=None, auth=None, **kw):
    status, _, raw = call(server, method, path, body, auth, **kw)
    return status, json.loads(raw)


def register(server, uid="mac-1", auth="Bearer " + VIEWER):
    status, reply = call_json(server, "POST", REGISTER, {"device_uid": uid, "hostname": "studio"}, auth)
    assert status == 200, reply
    return reply


def test_announces_itself_with_certificate_valid_for_ip_and_localhost(server):
    assert server.url.startswith("https://127.0.0.1:") and server.admin_url.startswith("http://127.0.0.1:")
    assert pathlib.Path(server.ca).read_text().startswith("-----BEGIN CERTIFICATE-----")
    for name in ("127.0.0.1", "localhost"):
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as raw:
            with server.ssl_context().wrap_socket(raw, server_hostname=name) as tls:
                assert tls.version() in ("TLSv1.2", "TLSv1.3")


def test_untrusted_certificate_is_refused_before_anything_is_sent():
    with HelpdeskStandIn(untrusted=True) as server:
        with pytest.raises(urllib.error.URLError) as refused:
            call(server, "POST", REGISTER, {"device_uid": "mac-1"}, "Bearer " + VIEWER)
        assert isinstance(refused.value.reason, ssl.SSLCertVerificationError)
        assert server.requests() == []


def test_registration_and_token_checks(server):
    assert call_json(server, "POST", REGISTER, {"device_uid": "mac-1"}) == (401, {"detail": "missing viewer token"})
    assert call_json(server, "POST", REGISTER, {"device_uid": "mac-1"}, "Bearer wrong")[1]["detail"] == "invalid viewer token"

    first = register(server)
    assert first["device_uid"] == "mac-1" and first["support_id"] and first["device_token"]
    # Registering again keeps the device's identity and its live token.
    assert register(server) == first
    token = first["device_token"]
    pending = "/api/agent/devices/mac-1/commands/pending"
    assert call_json(server, "GET", pending, auth="Device " + token) == (200, [])
    status, reply = call_json(server, "GET", pending, auth="Device not-" + token)
    assert status == 401 and "invalid device token" in reply["detail"]

    other = register(server, "mac-2")["device_token"]
    status, reply = call_json(server, "GET", pending, auth="Device " + other)
    assert status == 403 and "does not match device" in reply["detail"]

    # With a device token the token names the device, whatever uid the body reports.
    assert call_json(server, "POST", REGISTER, {"device_uid": "renamed"}, "Device " + token)[1]["device_uid"] == "mac-1"

    server.revoke_device_token("mac-1")
    assert call_json(server, "POST", HEARTBEAT, {"device_uid": "mac-1"}, "Device " + token)[0] == 401
    renewed = register(server)["device_token"]
    assert renewed != token
    assert call_json(server, "POST", HEARTBEAT, {"device_uid": "mac-1"}, "Device " + renewed)[0] == 200

    seen = server.requests(path=REGISTER)
    assert seen[0]["headers"].get("authorization") is None
    assert seen[2]["headers"]["authorization"] == "Bearer " + VIEWER
    assert seen[2]["json"]["hostname"] == "studio"
    assert [h["device_uid"] for h in server.list("heartbeats")] == ["mac-1"]


def test_viewer_tokens_are_scriptable(server):
    server.set_viewer_tokens(["other"])
    assert call_json(server, "POST", REGISTER, {"device_uid": "m"}, "Bearer " + VIEWER)[0] == 401
    assert call_json(server, "POST", REGISTER, {"device_uid": "m"}, "Bearer other")[0] == 200
    server.set_viewer_tokens([], accept_any=True)
    assert call_json(server, "POST", REGISTER, {"device_uid": "m"}, "Bearer anything")[0] == 200
    assert call_json(server, "POST", REGISTER, {"device_uid": "m"}, "Bearer ")[1]["detail"] == "missing viewer token"


def test_command_queue_order_filter_and_status_updates(server):
    token = "Device " + register(server)["device_token"]
    shell = server.queue_command("mac-1", {"command_type": "shell", "payload": {"command": "id"}})
    notify = server.queue_command("mac-1", {"command_type": "user_notify", "payload": {}})
    broken = server.queue_command("mac-1", {"id": "7", "command_type": "force_audit"})
    server.queue_command("mac-2", {"command_type": "shell"})
    assert isinstance(shell["id"], int) and notify["id"] > shell["id"] and broken["id"] == "7"

    pending = "/api/agent/devices/mac-1/commands/pending"
    assert call_json(server, "GET", pending, auth=token) == (200, [shell, notify, broken])
    assert call_json(server, "GET", pending + "?command_type=user_notify", auth=token) == (200, [notify])

    def report(command_id, status, result=None):
        body = {"status": status, "result": {} if result is None else result}
        return call_json(server, "POST", "/api/agent/device-commands/%d/status" % command_id, body, token)

    assert report(shell["id"], "picked_up")[0] == 200
    assert call_json(server, "GET", pending, auth=token)[1] == [shell, notify, broken]
    assert report(shell["id"], "completed", {"exit_code": 0})[0] == 200
    assert report(notify["id"], "failed", {"error": "x"})[0] == 200
    assert call_json(server, "GET", pending, auth=token)[1] == [broken]

    assert report(shell["id"], "done")[0] == 422
    assert report(999, "completed")[0] == 404
    bad_result = {"status": "completed", "result": "ok"}
    assert call_json(server, "POST", "/api/agent/device-commands/%d/status" % shell["id"], bad_result, token)[0] == 422
    # A finished command stays finished even when a late report arrives.
    assert report(shell["id"], "picked_up")[0] == 200
    entries = {e["command"]["id"]: e for e in server.commands("mac-1")}
    assert entries[shell["id"]]["status"] == "completed"
    assert [u["status"] for u in entries[shell["id"]]["updates"]] == ["picked_up", "completed", "picked_up"]
    assert server.list("command-updates", status="failed")[0]["result"] == {"error": "x"}


def test_status_fault_answers_k_requests_then_the_real_route(server):
    token = "Device " + register(server)["device_token"]
    server.fail_with_status(HEARTBEAT, 503, body={"detail": "maintenance"}, count=2)
    server.fail_with_status(HEARTBEAT, 200, body="ignored", method="GET")
    results = [call(server, "POST", HEARTBEAT, {"device_uid": "mac-1"}, token) for _ in range(3)]
    assert [r[0] for r in results] == [503, 503, 200]
    assert json.loads(results[0][2]) == {"detail": "maintenance"}
    assert [r["fault"] for r in server.requests(path=HEARTBEAT)] == ["status", "status", None]
    assert len(server.list("heartbeats")) == 1

    server.add_fault(path_prefix="/api/agent/devices/mac-1/", status=410, body={"detail": "device is deactivated"}, count=None)
    for _ in range(2):
        assert call(server, "GET", "/api/agent/devices/mac-1/commands/pending", auth=token)[0] == 410
    with pytest.raises(AdminError) as invalid:
        server.add_fault(None, "explode")
    assert invalid.value.status == 422


def test_malformed_json_drop_and_delay_faults(server):
    token = "Device " + register(server)["device_token"]
    server.malformed_json(REGISTER)
    status, content_type, raw = call(server, "POST", REGISTER, {"device_uid": "mac-1"}, token)
    assert (status, content_type) == (200, "application/json")
    with pytest.raises(ValueError):
        json.loads(raw)

    server.drop_connection(REGISTER)
    with pytest.raises(http.client.IncompleteRead):
        call(server, "POST", REGISTER, {"device_uid": "mac-1"}, token)
    server.drop_connection(REGISTER, stage="before_response")
    with pytest.raises((http.client.RemoteDisconnected, ConnectionError)):
        call(server, "POST", REGISTER, {"device_uid": "mac-1"}, token)

    server.delay(HEARTBEAT, seconds=5)
    with pytest.raises((socket.timeout, urllib.error.URLError)):
        call(server, "POST", HEARTBEAT, {"device_uid": "mac-1"}, token, timeout=0.5)
    assert call(server, "POST", REGISTER, {"device_uid": "mac-1"}, token)[0] == 200
    assert [r["fault"] for r in server.requests()] == [None, "malformed_json", "drop", "drop", "delay", None]


async def _open_control(server, token, uid="mac-1"):
    session = aiohttp.ClientSession()
    ws = await session.ws_connect(server.control_url, headers={"Authorization": token}, ssl=server.ssl_context())
    await ws.send_str(json.dumps({"type": "hello", "device_uid": uid, "support_id": None, "status": "online"}))
    return session, ws


async def _next_json(ws):
    message = await ws.receive(timeout=5)
    assert message.type in (aiohttp.WSMsgType.TEXT, aiohttp.WSMsgType.BINARY), message
    return message.type, json.loads(message.data)


def test_control_socket_push_record_and_drop(server):
    token = "Device " + register(server)["device_token"]

    async def scenario():
        session, ws = await _open_control(server, token)
        async with session:
            assert (await _next_json(ws))[1] == {"type": "control-ready", "device_uid": "mac-1"}
            await asyncio.to_thread(server.wait_for_control, "mac-1")
            command = await asyncio.to_thread(server.queue_command, "mac-1", {"command_type": "shell"})
            assert (await _next_json(ws))[1] == {
                "type": "agent_command.queued",
                "command_id": command["id"],
                "command_type": "shell",
            }
            await asyncio.to_thread(server.send_control, "mac-1", {"type": "pong"}, frame="binary")
            assert await _next_json(ws) == (aiohttp.WSMsgType.BINARY, {"type": "pong"})
            await asyncio.to_thread(server.send_control, "mac-1", raw="[1, 2]")
            assert (await _next_json(ws))[1] == [1, 2]
            await ws.send_str(json.dumps({"type": "heartbeat", "device_uid": "mac-1"}))
            assert (await _next_json(ws))[1]["type"] == "heartbeat-ack"
            await ws.send_str("not json")
            recorded = await asyncio.to_thread(server.wait_for_control_messages, 3, device_uid="mac-1")
            assert [m["type"] for m in recorded] == ["hello", "heartbeat", None]
            assert recorded[2]["text"] == "not json"
            await asyncio.to_thread(server.drop_control, "mac-1", code=1011)
            closing = await ws.receive(timeout=5)
            assert closing.type == aiohttp.WSMsgType.CLOSE and closing.data == 1011

    asyncio.run(scenario())
    assert server.control_connections() == []
    assert server.control_connections(include_closed=True)[0]["state"] == "closed"


def test_control_rejections(server):
    token = "Device " + register(server)["device_token"]

    async def rejection(auth, uid="mac-1"):
        session, ws = await _open_control(server, auth, uid)
        async with session:
            return (await _next_json(ws))[1]

    async def scenario():
        assert await rejection("Device wrong") == {
            "type": "control-rejected",
            "status_code": 401,
            "detail": "invalid device token",
        }
        assert (await rejection(token, "mac-9"))["status_code"] == 403
        await asyncio.to_thread(server.reject_control, status_code=None, detail="maintenance")
        assert await rejection(token) == {"type": "control-rejected", "detail": "maintenance"}
        # The scripted rejection was spent on one connection; the next is accepted.
        assert (await rejection("Bearer " + VIEWER))["type"] == "control-ready"

    asyncio.run(scenario())


def test_remote_session_request_signalling_and_status(server):
    token = "Device " + register(server)["device_token"]
    script = [{"type": "ice-candidate", "candidate": "c1"}, {"type": "offer", "sdp": "v=0"}]

    async def scenario():
        session, ws = await _open_control(server, token)
        async with session:
            await _next_json(ws)
            created = await asyncio.to_thread(server.create_remote_session, "mac-1", signaling_messages=script)
            request = (await _next_json(ws))[1]
            assert request["type"] == "remote_session.requested"
            described = request["session"]
            public_id = described["public_id"]
            assert created["session"]["public_id"] == public_id
            assert described["control_urls"]["signaling"].startswith("wss://127.0.0.1:%d/" % server.port)

            status_path = described["control_urls"]["status"][len(server.url):]
            ready = {"status": "agent_ready", "metadata": {"pre_login": False}}
            assert call(server, "POST", status_path, ready, token)[0] == 200
            assert call(server, "POST", status_path, {"status": "connecting"}, token)[0] == 422
            assert call(server, "POST", "/api/agent/remote/sessions/nope/status", ready, token)[0] == 404

            signaling = await session.ws_connect(
                described["control_urls"]["signaling"], headers={"Authorization": token}, ssl=server.ssl_context()
            )
            assert [(await _next_json(signaling))[1] for _ in script] == script
            await signaling.send_str(json.dumps({"type": "bye"}))
            failed = {"status": "failed", "metadata": {}, "error_message": "media is not bundled"}
            assert call(server, "POST", status_path, failed, token)[0] == 200
            state = await asyncio.to_thread(server.wait_for_remote_session, public_id, status="failed", received=1)
            await signaling.close()
            return state

    state = asyncio.run(scenario())
    assert [u["status"] for u in state["status_updates"]] == ["agent_ready", "failed"]
    assert state["status_updates"][1]["error_message"] == "media is not bundled"
    assert state["signaling_received"][0]["json"] == {"type": "bye"}


def test_chat_and_ticket_retries_are_stored_once(server):
    token = "Device " + register(server)["device_token"]
    chat = {"text": "Dzień dobry", "sender": "Jan", "public_id": "rs_1", "client_message_id": "ABC", "sent_at": "2026-01-01T10:00:00Z"}
    path = "/api/agent/devices/mac-1/chat-messages"
    assert call(server, "POST", path, chat, token)[0] == 201
    assert call(server, "POST", path, chat, token)[0] == 200
    assert call(server, "POST", path, dict(chat, text=None), token)[0] == 422
    assert [(m["text"], m["deliveries"]) for m in server.list("chat-messages")] == [("Dzień dobry", 2)]

    ticket = {
        "client_request_id": "0b0e6a9e-1111-4c4c-8888-000000000001",
        "subject": "Drukarka",
        "attachments": [{"filename": "a.txt", "content_type": "text/plain", "data_base64": base64.b64encode(b"abc").decode()}],
    }
    status, first = call_json(server, "POST", "/api/agent/tickets", ticket, token)
    assert status == 201 and first["public_id"].startswith("KOVA-") and first["subject"] == "Drukarka"
    assert call_json(server, "POST", "/api/agent/tickets", ticket, token) == (200, first)
    broken = dict(ticket, client_request_id="other", attachments=[{"filename": "b", "data_base64": "***"}])
    assert call(server, "POST", "/api/agent/tickets", broken, token)[0] == 422
    stored = server.list("tickets")
    assert len(stored) == 1 and stored[0]["attachment_sizes"] == [3]


def test_update_manifest_and_package_download(server):
    token = "Device " + register(server)["device_token"]
    query = "/api/agent/viewer/updates/manifest?platform=macos&architecture=arm64&current_version=0.2.55&channel=stable"
    status, manifest = call_json(server, "GET", query, auth=token)
    assert status == 200 and manifest["url"] == "" and manifest["version"] == "0.2.55"
    assert manifest["silent_args"] == [] and manifest["mandatory"] is False

    package = b"xar!" + bytes(range(256)) * 10
    server.upload_package("Sekwo-0.2.56.pkg", package)
    published = server.publish_update("Sekwo-0.2.56.pkg", "0.2.56")
    assert call_json(server, "GET", query, auth=token) == (200, published)
    assert published["url"] == server.url + "/downloads/Sekwo-0.2.56.pkg"
    status, _, downloaded = call(server, "GET", published["url"][len(server.url):])
    assert status == 200 and downloaded == package
    assert published["sha256"] == hashlib.sha256(package).hexdigest() and published["size_bytes"] == len(package)


def test_customer_login_and_notification_paging(server):
    server.add_customer("anna@example.com", "tajne", full_name="Anna Nowak")
    login = "/api/customer/session"
    assert call_json(server, "POST", login, {"email": "anna@example.com", "password": "zle"})[0] == 401
    status, session = call_json(server, "POST", login, {"email": "Anna@example.com", "password": "tajne"})
    assert status == 200 and session["customer"]["full_name"] == "Anna Nowak" and session["expires_at"].endswith("Z")
    for text in ("one", "two", "three"):
        server.add_notification("anna@example.com", message_text=text)

    def page(after, limit, token=session["access_token"]):
        path = "/api/customer/ticket-notifications?after_message_id=%d&limit=%d" % (after, limit)
        return call_json(server, "GET", path, headers={"X-Customer-Session": token} if token else None)

    status, first = page(0, 2)
    assert [i["message_text"] for i in first["items"]] == ["one", "two"] and first["has_more"] is True
    status, rest = page(first["cursor"], 50)
    assert [i["message_text"] for i in rest["items"]] == ["three"] and rest["has_more"] is False
    assert page(rest["cursor"], 50)[1] == {"items": [], "cursor": rest["cursor"], "has_more": False}
    assert page(0, 51)[0] == 422
    assert page(0, 5, token="")[1] == {"detail": "missing customer session"}
    server.expire_customer_sessions()
    assert page(0, 5) == (401, {"detail": "customer session expired"})


def test_ticket_answers_replies_and_session_endings(server):
    token = "Device " + register(server)["device_token"]
    ticket = {"client_request_id": "r1", "subject": "Drukarka", "customer_email": " Anna@Example.com "}
    status, first = call_json(server, "POST", "/api/agent/tickets", ticket, token)
    assert status == 201 and first["ticket_number"] == "HD-01001"
    assert first["ticket_url"] == server.url + "/customer/tickets/" + first["public_id"]
    server.set_ticket_answer(ticket_number=False, public_id_prefix="kova-", ticket_url=False)
    status, bare = call_json(server, "POST", "/api/agent/tickets", dict(ticket, client_request_id="r2"), token)
    assert bare == {"public_id": "kova-000002", "subject": "Drukarka", "status": "new"}
    server.set_ticket_answer(ticket_number="  ")
    assert call_json(server, "POST", "/api/agent/tickets", dict(ticket, client_request_id="r3"), token)[1]["ticket_number"] == "  "
    with pytest.raises(AdminError):
        server.set_ticket_answer(number=True)

    # A reply reaches the ticket's customer with the desk's own number, even
    # where the answer left it out.
    server.add_customer("anna@example.com", "tajne", fractional_expiry=True)
    session = server.create_customer_session("anna@example.com")
    assert session["expires_at"][19] == "." and session["expires_at"].endswith("Z")
    reply = server.add_ticket_reply("kova-000002", "Proszę zrestartować")
    assert reply["ticket_number"] == "HD-01002" and reply["subject"] == "Drukarka"
    server.add_notification("anna@example.com", omit=["ticket_number"])
    with pytest.raises(AdminError):
        server.add_ticket_reply("KOVA-999999")

    def page(access_token):
        return call_json(server, "GET", "/api/customer/ticket-notifications?after_message_id=0&limit=5",
                         headers={"X-Customer-Session": access_token})

    status, items = page(session["access_token"])
    assert [i["message_text"] for i in items["items"]] == ["Proszę zrestartować", "Odpowiedź konsultanta"]
    assert "ticket_number" not in items["items"][1]
    other = server.create_customer_session("anna@example.com")
    server.revoke_customer_sessions("anna@example.com")
    assert page(other["access_token"]) == (401, {"detail": "customer session revoked"})
    short = server.create_customer_session("anna@example.com", ttl_seconds=-1)
    assert page(short["access_token"]) == (401, {"detail": "customer session expired"})
    assert page("cs_unknown") == (401, {"detail": "invalid customer session"})


def test_waits_time_out_with_what_was_seen(server):
    register(server)
    with pytest.raises(StandInTimeout) as late:
        server.wait_for_requests(count=2, timeout=0.2, path=REGISTER)
    assert len(late.value.body["items"]) == 1


def test_encoded_device_paths_unknown_and_deactivated_devices(server):
    bearer = "Bearer " + VIEWER
    token = "Device " + register(server, "mac one")["device_token"]
    assert call_json(server, "GET", "/api/agent/devices/mac%20one/commands/pending", auth=bearer) == (200, [])
    logged = server.requests(method="GET")[0]
    assert (logged["path"], logged["raw_path"]) == (
        "/api/agent/devices/mac one/commands/pending",
        "/api/agent/devices/mac%20one/commands/pending",
    )
    assert call_json(server, "POST", HEARTBEAT, {"device_uid": "ghost"}, bearer) == (404, {"detail": "device not registered"})

    server.deactivate_device("mac one")
    assert call_json(server, "POST", HEARTBEAT, {}, token) == (410, {"detail": "device is deactivated"})
    assert call_json(server, "POST", REGISTER, {"device_uid": "mac one"}, bearer)[0] == 410
    server.reactivate_device("mac one")
    assert call_json(server, "POST", HEARTBEAT, {}, token)[0] == 200


def test_control_upgrade_faults_hello_check_and_silent_queueing(server):
    token = "Device " + register(server)["device_token"]
    server.fail_with_status("/api/agent/control", 503)

    async def scenario():
        async with aiohttp.ClientSession() as session:
            with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
                await session.ws_connect(server.control_url, headers={"Authorization": token}, ssl=server.ssl_context())
            assert refused.value.status == 503
            ws = await session.ws_connect(server.control_url, headers={"Authorization": token}, ssl=server.ssl_context())
            await ws.send_str(json.dumps({"type": "heartbeat", "device_uid": "mac-1"}))
            assert (await _next_json(ws))[1] == {"type": "control-rejected", "status_code": 400, "detail": "hello expected"}

        session, ws = await _open_control(server, token)
        async with session:
            await _next_json(ws)
            await asyncio.to_thread(server.queue_command, "mac-1", {"command_type": "shell"}, False)
            await asyncio.to_thread(server.send_control, "mac-1", {"type": "after"})
            # Nothing was pushed for the silent command, so the next frame is the one sent after it.
            assert (await _next_json(ws))[1] == {"type": "after"}

    asyncio.run(scenario())


def test_remote_session_request_variants_and_signalling_refusals(server):
    token = "Device " + register(server)["device_token"]
    with pytest.raises(AdminError) as offline:
        server.create_remote_session("mac-1")
    assert offline.value.status == 409

    async def scenario():
        session, ws = await _open_control(server, token)
        async with session:
            await _next_json(ws)
            await asyncio.to_thread(server.create_remote_session, "mac-1", public_id="s1", key_style="camel", signaling_in="relay_url")
            camel = (await _next_json(ws))[1]["session"]
            await asyncio.to_thread(server.create_remote_session, "mac-1", public_id="s2", signaling_url=None)
            bare = (await _next_json(ws))[1]["session"]
            for auth, path, status in ((token, "s9", 404), ("Device wrong", "s1", 401)):
                url = server.url.replace("https", "wss") + "/api/agent/remote/sessions/%s/signaling" % path
                with pytest.raises(aiohttp.WSServerHandshakeError) as refused:
                    await session.ws_connect(url, headers={"Authorization": auth}, ssl=server.ssl_context())
                assert refused.value.status == status
            return camel, bare

    camel, bare = asyncio.run(scenario())
    assert camel["publicId"] == "s1" and camel["relay_url"].endswith("/api/agent/remote/sessions/s1/signaling")
    assert "signaling" not in camel["controlUrls"] and "public_id" not in camel
    assert bare["public_id"] == "s2" and list(bare["control_urls"]) == ["status"]


def test_helper_reports_a_server_that_never_announces_itself(tmp_path):
    with pytest.raises(RuntimeError, match="before announcing"):
        HelpdeskStandIn(python="/bin/false").start()
