"""The control WebSocket and remote-session signalling, end to end: the real
daemon in the sandbox against the stand-in's WSS endpoints."""
import json
import signal
import time

from conftest import STATE, log_text, wait_until

MEDIA_ERROR = ("macOS remote media engine needs GoogleWebRTC XCFramework plus ScreenCaptureKit capture. "
               "Signaling works, media is not bundled yet.")


def test_hello_wake_up_frames_and_heartbeat(connected, standin):
    box, uid, daemon = connected(heartbeatIntervalSeconds=60)
    hello = [c for c in standin.control_connections() if c["device_uid"] == uid][0]["hello"]
    assert hello["type"] == "hello" and hello["status"] == "online" and hello["agent_version"] == "0.2.55"
    assert set(hello) == {"type", "device_uid", "support_id", "hostname", "agent_version", "status",
                          "capabilities"}
    assert hello["capabilities"] == {
        "remote": True, "webrtc": True, "clipboard": True, "pre_login": False, "platform": "macos",
        "screen_capture": "ScreenCaptureKit",
        "permissions_required": ["screen_recording", "accessibility", "input_monitoring"]}
    wait_until(lambda: "Control WSS ready." in log_text(box), what="control-ready")

    # A queued command is handled at once, not at the next poll (600 s away).
    queued = time.monotonic()
    standin.queue_command(uid, {"command_type": "shell", "payload": {"command": "echo woke"}}, notify=True)
    update = standin.wait_for("command-updates", status="completed", timeout=30)[0]
    latency = time.monotonic() - queued
    print(f"\nwake-to-report latency: {latency * 1000:.0f} ms")
    assert update["result"]["stdout"] == "woke\n"
    assert "Control WSS wake-up received for command type=shell" in log_text(box)

    # A binary frame holding a JSON object is a message like any other.
    standin.send_control(uid, message={"type": "agent_command.queued"}, frame="binary")
    wait_until(lambda: "wake-up received for command type=-" in log_text(box), what="binary wake-up")
    standin.send_control(uid, message={"no": "type"})
    wait_until(lambda: "Control WSS message type=message" in log_text(box), what="untyped message")

    # The control heartbeat comes one heartbeat interval (60 s) after connecting.
    message = standin.wait_for_control_messages(type="heartbeat", timeout=90)[0]["json"]
    assert set(message) >= {"type", "device_uid", "support_id", "hostname", "agent_version", "status",
                            "platform", "sentAt"}
    assert message["device_uid"] == uid and message["platform"] == "macos"

    # A JSON array ends the connection; the channel comes back.
    standin.send_control(uid, raw="[1, 2]")
    wait_until(lambda: "Control WSS disconnected: WebSocket JSON object expected." in log_text(box),
               what="array refused")
    standin.wait_for_control(uid, timeout=15)


def test_reconnect_back_off_and_stop_while_backing_off(connected, standin):
    box, uid, daemon = connected(controlReconnectMaxSeconds=5)
    seen = []
    for _ in range(5):
        standin.wait_for_control(uid, timeout=20)
        seen.append(time.monotonic())
        standin.drop_control(uid, mode="close", code=1011)
        wait_until(lambda: not [c for c in standin.control_connections() if c["device_uid"] == uid],
                   timeout=5, interval=0.02, what="socket gone")
    gaps = [round(b - a, 1) for a, b in zip(seen, seen[1:])]
    print(f"\nreconnect gaps after drops: {gaps} s")
    for gap, expected in zip(gaps, (2, 4, 5, 5)):
        assert expected - 0.3 <= gap <= expected + 2.0, gaps
    # SIGTERM during a back-off sleep still ends the daemon promptly.
    standin.wait_for_control(uid, timeout=20)
    standin.drop_control(uid, mode="abort")
    time.sleep(0.3)
    sent = time.monotonic()
    daemon.proc.send_signal(signal.SIGTERM)
    assert daemon.proc.wait(timeout=10) == 0
    assert time.monotonic() - sent < 2.0


def test_rejected_device_token_falls_back_to_the_viewer_token(connected, standin):
    box, uid, daemon = connected()
    refused = json.loads(box.read(STATE))["deviceToken"]
    standin.reject_control(status_code=401, detail="invalid device token", current=True)
    wait_until(lambda: "Control WSS disconnected: HTTP 401: invalid device token" in log_text(box),
               what="rejection")
    wait_until(lambda: [c for c in standin.control_connections() if c["device_uid"] == uid and
                        c["auth"] == "viewer"], timeout=15, what="viewer-token reconnect")
    upgrades = standin.requests(path="/api/agent/control")
    assert upgrades[-1]["headers"]["authorization"] == "Bearer ACME"
    assert upgrades[0]["headers"]["authorization"] == "Device " + refused
    assert json.loads(box.read(STATE)).get("deviceToken") != refused


def test_sigterm_while_connected(connected):
    box, uid, daemon = connected()
    sent = time.monotonic()
    daemon.proc.send_signal(signal.SIGTERM)
    assert daemon.proc.wait(timeout=10) == 0
    assert time.monotonic() - sent < 2.0


def test_remote_session_signalling(connected, standin):
    box, uid, daemon = connected()
    session = standin.create_remote_session(
        uid, signaling_messages=[{"type": "ice-candidate", "candidate": "x"}, {"type": "offer", "sdp": "v=0"}],
        key_style="camel")["session"]
    done = standin.wait_for_remote_session(session["public_id"], status="failed", timeout=20)
    statuses = [u["status"] for u in done["status_updates"]]
    assert statuses == ["agent_ready", "connecting", "failed"]
    failed = done["status_updates"][-1]
    assert failed["error_message"] == MEDIA_ERROR
    assert failed["metadata"]["pre_login"] is False and len(failed["metadata"]) == 9
    log = log_text(box)
    assert "Remote session requested: " + session["public_id"] in log
    assert "Remote signaling message type=ice-candidate" in log

    bare = standin.create_remote_session(uid, signaling_url=None, status_url=None)["session"]
    done = standin.wait_for_remote_session(bare["public_id"], status="failed", timeout=20)
    assert [u["status"] for u in done["status_updates"]] == ["agent_ready", "failed"]
    assert done["status_updates"][-1]["error_message"] == "Remote session is missing signaling URL."
