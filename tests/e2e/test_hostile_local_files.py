"""What a local user or a hostile server can plant for the root daemon: links
and foreign directories in the world-writable chat and log locations, line
feeds in logged strings, and secrets in logged URLs."""
import json
import os
import re
import uuid

from conftest import CHAT_DIR, SETTINGS, STATE, Daemon, log_text, settings_json, wait_until, write_outgoing

NOBODY = 65534
PARENT = "/Users/Shared/Sekwo Tarnvik"
FALLBACK = "/tmp/Sekwo Tarnvik"
LINE = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ \[(INFO|WARN|ERROR)\] ")


def root_only_directory(box, inside):
    path = box.path(inside)
    path.mkdir(parents=True)
    path.chmod(0o700)
    return path


def test_planted_chat_parents_are_refused(agent_box, standin, agent_binary):
    # A link to a root-only directory that holds a "remote-chat" of its own.
    victim = root_only_directory(agent_box, "/Library/victim") / "remote-chat"
    victim.mkdir(mode=0o700)
    (victim / "p.1.A.outgoing.json").write_text("{}")
    os.symlink("/Library/victim", agent_box.path(PARENT))
    agent_box.configure(chatPollIntervalSeconds=1)
    daemon = Daemon(agent_box, agent_binary).start()
    try:
        wait_until(lambda: PARENT + " is a symbolic link." in log_text(agent_box), what="link refused")
        assert victim.stat().st_mode & 0o777 == 0o700
        assert (victim / "p.1.A.outgoing.json").exists()

        # A directory another user made in its place, with messages of that user.
        made = agent_box.path("/Users/Shared/planted")
        (made / "remote-chat").mkdir(parents=True)
        for d in (made, made / "remote-chat"):
            os.chown(d, NOBODY, NOBODY)
        (made / "remote-chat").chmod(0o777)
        agent_box.path(PARENT).unlink()
        os.rename(made, agent_box.path(PARENT))
        planted = agent_box.path(CHAT_DIR)
        write_outgoing(agent_box, "planted", "from another user")
        wait_until(lambda: "belongs to user 65534, not to root." in log_text(agent_box), what="owner refused")
        wait_until(lambda: log_text(agent_box).count("Remote chat directory read failed") == 2, what="2 lines")

        # Mended: root makes the parent again and delivers.
        for entry in planted.iterdir():
            entry.unlink()
        planted.rmdir()
        planted.parent.rmdir()
        wait_until(lambda: agent_box.path(CHAT_DIR).is_dir(), what="chat directory made again")
        message_id = write_outgoing(agent_box, "mended", "now delivered")
        wait_until(lambda: standin.list("chat-messages"), what="delivery")
    finally:
        daemon.stop()
    assert [m["client_message_id"] for m in standin.list("chat-messages")] == [message_id]
    parent = agent_box.path(PARENT).stat()
    assert (parent.st_uid, parent.st_mode & 0o777) == (0, 0o755)
    assert log_text(agent_box).count("Remote chat directory read failed") == 2, "each refusal logged once"


def test_planted_log_fallbacks_are_not_followed(sandbox, agent_binary):
    sandbox.write(SETTINGS, settings_json(url="https://127.0.0.1:9"))
    sandbox.path("/Library/Logs").write_text("not a directory: the log falls back to /tmp")
    target = root_only_directory(sandbox, "/Library/victim")
    secret = sandbox.path("/tmp/root-only")
    secret.write_text("root only\n")
    secret.chmod(0o600)

    os.symlink("/Library/victim", sandbox.path(FALLBACK))
    assert sandbox.run([agent_binary, "--once"], cwd="/").returncode == 0
    assert list(target.iterdir()) == []
    sandbox.path(FALLBACK).unlink()

    planted = sandbox.path(FALLBACK)
    planted.mkdir(mode=0o755)
    os.chown(planted, NOBODY, NOBODY)
    os.link(secret, planted / "sekwo.log")
    assert sandbox.run([agent_binary, "--once"], cwd="/").returncode == 0
    assert secret.read_text() == "root only\n"
    (planted / "sekwo.log").unlink()
    planted.rmdir()

    assert sandbox.run([agent_binary, "--once"], cwd="/").returncode == 0
    assert "[ERROR] Inventory send failed: " in sandbox.read(FALLBACK + "/sekwo.log")


def test_logged_strings_cannot_forge_lines(connected, standin):
    box, uid, daemon = connected(chatPollIntervalSeconds=1)
    forged = "\n2026-01-01T00:00:00Z [ERROR] ALL ALL=(ALL) NOPASSWD: ALL"
    message_id = uuid.uuid4().hex.upper()
    body = {"id": message_id + forged, "publicId": "session-1", "direction": "outgoing", "sender": "U",
            "text": "hej", "createdAt": "2026-03-01T14:05:09Z"}
    name = f"session-1.1733600000000.{message_id}.outgoing.json"
    wait_until(lambda: box.path(CHAT_DIR).is_dir(), what="chat directory")
    box.path(CHAT_DIR + "/." + name).write_text(json.dumps(body))
    os.rename(box.path(CHAT_DIR + "/." + name), box.path(CHAT_DIR + "/" + name))
    standin.send_control(uid, message={"type": "agent_command.queued", "command_type": "x\r\x1b[2J" + forged})
    wait_until(lambda: "Remote chat reply sent." in log_text(box), what="chat reply")
    wait_until(lambda: "wake-up received for command type=x" in log_text(box), what="wake-up")
    log = log_text(box)
    assert "id=" + message_id + "\\n2026-01-01T00:00:00Z [ERROR] ALL ALL=(ALL) NOPASSWD: ALL reason=" in log
    assert "command type=x\\r\\u001b[2J\\n2026-01-01T00:00:00Z [ERROR] ALL ALL" in log
    assert "\r" not in log and "\x1b" not in log
    lines = log.splitlines()
    assert [line for line in lines if not LINE.match(line)] == []
    assert not [line for line in lines if "NOPASSWD" in line and line.startswith("2026-01-01T00:00:00Z")]


def test_logged_urls_carry_no_secrets(connected, standin):
    box, uid, daemon = connected()
    wss = "wss://" + standin.url.split("://", 1)[1]
    url = wss + "/api/agent/remote/sessions/RS-2/signaling?session_token=SESSION-SECRET-789#also-secret"
    standin.create_remote_session(uid, public_id="RS-2", signaling_url=url, signaling_messages=[{"type": "offer"}])
    done = standin.wait_for_remote_session("RS-2", status="failed", timeout=20)
    assert [u["status"] for u in done["status_updates"]] == ["agent_ready", "connecting", "failed"]
    log = log_text(box)
    assert "Remote signaling connected: " + wss + "/api/agent/remote/sessions/RS-2/signaling?session_token=***\n" in log
    assert "SESSION-SECRET-789" not in log and "also-secret" not in log
    assert "Control WSS connecting: " + wss + "/api/agent/control\n" in log
    assert json.loads(box.read(STATE))["deviceToken"] not in log
