"""The product's HTTPS client against the stand-in over real TLS, inside the
sandbox, through kova-api-probe."""
import json

import pytest

from conftest import LOG, SETTINGS, STATE, Sandbox, settings_json


def probe(box, binary, *args):
    r = box.run([binary, *args], cwd="/")
    assert r.returncode in (0, 1), r.stderr
    return r.returncode, json.loads(r.stdout)


@pytest.fixture
def box(trusted_sandbox, standin):
    trusted_sandbox.write(SETTINGS, settings_json(url=standin.url + "/", token="ACME"))
    return trusted_sandbox


def register(box, probe_binary, uid="mac one"):
    code, out = probe(box, probe_binary, "register", json.dumps({"device_uid": uid, "hostname": "h"}))
    assert code == 0, out
    return out


def test_registration_stores_token_and_device_auth_follows(box, standin, probe_binary):
    out = register(box, probe_binary)
    assert out["device_uid"] == "mac one" and out["support_id"] and out["has_device_token"]
    token = json.loads(box.read(STATE))["deviceToken"]
    assert probe(box, probe_binary, "heartbeat", json.dumps({"device_uid": "mac one"}))[0] == 0
    reqs = standin.requests(path="/api/agent/devices/heartbeat")
    assert reqs[-1]["headers"]["authorization"] == "Device " + token
    assert reqs[-1]["headers"]["content-type"] == "application/json"
    first = standin.requests(path="/api/agent/devices/register")[0]
    assert first["headers"]["authorization"] == "Bearer ACME"


def test_revoked_device_token_falls_back_to_viewer_token(box, standin, probe_binary):
    register(box, probe_binary)
    standin.revoke_device_token("mac one")
    assert probe(box, probe_binary, "heartbeat", json.dumps({"device_uid": "mac one"}))[0] == 0
    auths = [r["headers"].get("authorization", "") for r in standin.requests(path="/api/agent/devices/heartbeat")]
    assert auths[0].startswith("Device ") and auths[1] == "Bearer ACME"
    assert "deviceToken" not in json.loads(box.read(STATE))


def test_pending_commands_encoding_and_skipping(box, standin, probe_binary):
    register(box, probe_binary)
    standin.queue_command("mac one", {"id": 1, "command_type": "shell", "payload": {"command": "ls"}}, notify=False)
    standin.queue_command("mac one", {"id": "2", "command_type": "shell"}, notify=False)
    standin.queue_command("mac one", {"id": 3, "commandType": "user_notify"}, notify=False)
    code, commands = probe(box, probe_binary, "pending", "mac one")
    assert code == 0
    assert [c["id"] for c in commands] == [1, 3]
    assert commands[1]["command_type"] == "user_notify" and commands[1]["payload"] == {}
    req = standin.requests(path_prefix="/api/agent/devices/mac")[-1]
    assert req["raw_path"] == "/api/agent/devices/mac%20one/commands/pending"
    code, only = probe(box, probe_binary, "pending", "mac one", "user_notify")
    assert [c["id"] for c in only] == [3]
    probe(box, probe_binary, "pending", "mac one", "   ")
    assert standin.requests(path_prefix="/api/agent/devices/mac")[-1]["query_string"] == ""


def test_command_status_chat_and_remote_status(box, standin, probe_binary):
    register(box, probe_binary)
    standin.queue_command("mac one", {"id": 7, "command_type": "shell"}, notify=False)
    assert probe(box, probe_binary, "update-command", "7", "completed", json.dumps({"exit_code": 0}))[0] == 0
    update = standin.list("command-updates")[-1]
    assert update["status"] == "completed" and update["result"] == {"exit_code": 0}

    assert probe(box, probe_binary, "chat", "mac one", "Dzień dobry", "Jan", "pub-1", "loc-1",
                 "2026-03-01T14:05:09Z")[0] == 0
    msg = standin.list("chat-messages")[-1]
    assert msg["text"] == "Dzień dobry" and msg["sent_at"] == "2026-03-01T14:05:09Z"
    assert msg["client_message_id"] == "loc-1"

    standin.create_remote_session("mac one", public_id="rs-1", send_request=False)
    assert probe(box, probe_binary, "remote-status", "rs-1", "failed", json.dumps({"k": 1}), "boom")[0] == 0
    session = standin.remote_session("rs-1")
    assert json.dumps(session).count("boom") >= 1


def test_manifest_decoding(box, standin, probe_binary):
    standin.set_manifest({"platform": "macos", "architecture": "arm64", "channel": "stable", "version": "0.3.0",
                          "url": standin.url + "/downloads/p.pkg", "mandatory": False, "silent_args": []})
    code, out = probe(box, probe_binary, "manifest", "macos", "arm64", "0.2.55", "stable")
    assert code == 0 and out["version"] == "0.3.0" and out["sha256"] is None
    req = standin.requests(path="/api/agent/viewer/updates/manifest")[-1]
    assert req["query_string"] == "platform=macos&architecture=arm64&current_version=0.2.55&channel=stable"

    standin.set_manifest({"platform": "macos", "architecture": "arm64", "channel": "stable", "version": "0.3.0",
                          "url": "u", "mandatory": False})
    code, out = probe(box, probe_binary, "manifest", "macos", "arm64", "0.2.55", "stable")
    assert code == 1 and out["error"]["kind"] == "decoding"


def test_retry_and_error_mapping(box, standin, probe_binary):
    register(box, probe_binary)
    standin.fail_with_status("/api/agent/devices/heartbeat", 503, count=1)
    assert probe(box, probe_binary, "heartbeat", "{}")[0] == 0
    assert len(standin.requests(path="/api/agent/devices/heartbeat")) == 2

    standin.fail_with_status("/api/agent/devices/heartbeat", 503, count=2)
    code, out = probe(box, probe_binary, "heartbeat", "{}")
    assert out["error"]["kind"] == "temporarilyUnavailable" and out["error"]["issue"] == "temporarilyUnavailable"

    standin.drop_connection("/api/agent/devices/heartbeat", count=2)
    code, out = probe(box, probe_binary, "heartbeat", "{}")
    assert out["error"]["description"].startswith("Nie udało się połączyć z serwerem.")

    standin.malformed_json("/api/agent/devices/register", count=1)
    code, out = probe(box, probe_binary, "register", json.dumps({"device_uid": "mac one"}))
    assert out["error"]["kind"] == "decoding"

    standin.fail_with_status("/api/agent/devices/heartbeat", 410, body={"detail": "Device is deactivated"})
    code, out = probe(box, probe_binary, "heartbeat", "{}")
    assert out["error"]["status"] == 410 and out["error"]["issue"] == "deviceDeactivated"


def test_untrusted_certificate_is_refused_and_nothing_sent(tmp_path, probe_binary):
    from standin_client import HelpdeskStandIn
    with HelpdeskStandIn(untrusted=True) as rogue:
        from conftest import trusting_bundle
        bundle = trusting_bundle(tmp_path, rogue.ca)  # trusts the announced CA, not the signer
        box = Sandbox(tmp_path / "sb", overlays=[(bundle, "/etc/ssl/certs/ca-certificates.crt")]).start()
        try:
            box.write(SETTINGS, settings_json(url=rogue.url, token="ACME"))
            code, out = probe(box, probe_binary, "heartbeat", "{}")
            assert code == 1
            assert out["error"]["code"] == "serverCertificateUntrusted"
            assert rogue.requests() == []
        finally:
            box.stop()
