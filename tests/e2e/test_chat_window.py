"""The chat window with the daemon and the menu bar in one sandbox: a consultant's
message becomes a window, a reply goes straight to the helpdesk, a reply the
helpdesk refuses is left for the daemon, and a closed window comes back whole."""
import json

from conftest import CHAT_DIR, SETTINGS, settings_json, started
from desktop import PYTHON, SUPPORT, wait_for

CHAT_TITLE = "^Sekwo Tarnvik - Czat$"
NOTICE = "System: Nie udalo sie wyslac od razu. Wiadomosc zostala zapisana do ponowienia."


def transcript(desktop):
    r = desktop.run([PYTHON, SUPPORT / "atspi_text.py", "Sekwo Tarnvik", "Rozmowa"])
    return r.stdout if r.returncode == 0 else ""


def reply(desktop, window, text):
    desktop.x(["xdotool", "windowfocus", "--sync", str(window)])
    desktop.x(["xdotool", "type", "--delay", "20", text])
    desktop.x(["xdotool", "key", "Return"])


def files(box, suffix):
    directory = box.path(CHAT_DIR)
    return sorted(directory.glob("*" + suffix)) if directory.exists() else []


def test_chat_window_round_trip(trusted_sandbox, trusted_desktop, standin, agent_binary, menubar_binary,
                                tmp_path):
    box, desktop = trusted_sandbox, trusted_desktop
    box.write(SETTINGS, settings_json(url=standin.url, token="ACME", commandPollIntervalSeconds=30))
    daemon, uid = started(box, agent_binary)
    try:
        app = desktop.launch([menubar_binary, "--menubar"])
        wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
        assert app.poll() is None, desktop.output()

        standin.queue_command(uid, {"id": 1, "command_type": "user_notify",
                                    "payload": {"title": "Uwaga", "message": "Dzien dobry, tu serwis."}})
        window = wait_for(lambda: desktop.visible_windows(CHAT_TITLE), 15, "the chat window")[0]
        wait_for(lambda: "] Konsultant: Dzien dobry, tu serwis." in transcript(desktop), 10, "the message")
        assert files(box, ".incoming.json") == []

        # Return sends straight to the helpdesk with the device's authorisation.
        reply(desktop, window, "Prosze o pomoc")
        sent = wait_for(lambda: standin.list("chat-messages"), 15, "the direct reply")
        assert [(m["text"], m["public_id"], m["deliveries"]) for m in sent] == \
            [("Prosze o pomoc", "device-" + uid, 1)]
        assert files(box, ".outgoing.json") == []

        # Refused by the helpdesk: left for the daemon, which delivers it once it recovers.
        path = f"/api/agent/devices/{uid}/chat-messages"
        standin.fail_with_status(path, 503, count=None)
        reply(desktop, window, "Druga wiadomosc")
        wait_for(lambda: NOTICE in transcript(desktop), 20, "the notice")
        outgoing = wait_for(lambda: files(box, ".outgoing.json"), 5, "the file for the daemon")
        assert json.loads(outgoing[0].read_text())["text"] == "Druga wiadomosc"
        standin.clear_faults()
        wait_for(lambda: len(standin.list("chat-messages")) == 2 and not files(box, ".outgoing.json"), 20,
                 "the daemon's delivery")
        later = standin.list("chat-messages")[1]
        assert (later["text"], later["deliveries"]) == ("Druga wiadomosc", 1)
        desktop.screenshot(tmp_path / "chat-window.png", window=window)

        # Closed, the window comes back with everything it showed.
        desktop.x([PYTHON, str(SUPPORT / "x_close.py"), str(window)])
        wait_for(lambda: not desktop.visible_windows(CHAT_TITLE), 10, "the window to close")
        standin.queue_command(uid, {"id": 2, "command_type": "user_notify",
                                    "payload": {"title": "Uwaga", "message": "Gotowe."}})
        assert len(wait_for(lambda: desktop.visible_windows(CHAT_TITLE), 15, "the window again")) == 1
        text = wait_for(lambda: (lambda t: "Konsultant: Gotowe." in t and t)(transcript(desktop)), 10,
                        "the next message")
        lines = [line.split("] ", 1)[1] for line in text.splitlines()]
        assert lines[0] == "Konsultant: Dzien dobry, tu serwis."
        assert lines[1].endswith(": Prosze o pomoc") and lines[2].endswith(": Druga wiadomosc")
        assert lines[3:] == [NOTICE, "Konsultant: Gotowe."]
        assert standin.list("chat-messages")[1]["deliveries"] == 1
    finally:
        daemon.proc.kill()
        daemon.proc.wait()
