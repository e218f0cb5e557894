"""The menu bar application as a user of a desktop session in the sandbox:
entry refusals, the single instance, the first window, the tray menu and the
announcements of update phases and connection issues."""
import datetime
import json
import os
import subprocess
import time

from conftest import CHAT_DIR, LOG, SETTINGS, STATE, settings_json
from desktop import HOME, PYTHON, SUPPORT, UID, wait_for
from test_settings_and_links import RUSTDESK, RUSTDESK_CALLS, RUSTDESK_STAND_IN, entry_command, rustdesk_calls

TITLE = "^Sekwo Tarnvik$"
UPDATE_TITLE = "^Aktualizacje Sekwo Tarnvik$"
UPDATE_STATUS = "/Library/Application Support/Sekwo Tarnvik/runtime/update-status.json"
REFUSED = "Menu bar launch skipped because no interactive Aqua session is available."
MENU = ["Sekwo Tarnvik: aktywna", "", "Pokaż status", "Nowe zgłoszenie", "Otwórz panel klienta",
        "Wyślij audyt teraz", "Sprawdź aktualizacje", "Sprawdź czat", "Otwórz log", "Otwórz konfigurację",
        "Pełny ekran", "", "Zakończ ikonę"]


def start_in_tray(desktop, binary, *args):
    app = desktop.launch([binary, *args])
    wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
    assert app.poll() is None, desktop.output()
    return app


def update_status(phase, message):
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    return json.dumps({"phase": phase, "message": message, "currentVersion": "0.2.55",
                       "availableVersion": "0.2.56", "updatedAt": now}, indent=2, sort_keys=True)


def test_entry_refusals_before_any_window(sandbox, desktop, menubar_binary):
    # --version wins over everything, also for root without a display.
    r = sandbox.run([menubar_binary, "--menubar", "--version"], env={"PATH": "/usr/bin:/bin"})
    assert (r.returncode, r.stdout) == (0, "0.2.55\n")
    assert not sandbox.exists(LOG)
    # Root with a display, and a user without one, are refused with a clean exit.
    r = sandbox.run([menubar_binary, "--menubar"], env=desktop.x_env())
    assert r.returncode == 0 and REFUSED in sandbox.read(LOG)
    sandbox.path(LOG).chmod(0o666)  # the user's lines are dropped where the log is not writable for it
    r = desktop.run([menubar_binary, "--menubar"], DISPLAY="")
    assert r.returncode == 0 and sandbox.read(LOG).count(REFUSED) == 2
    # No application bundles here, so no relaunch through them either.
    assert "Direct GUI launch" not in sandbox.read(LOG)
    assert desktop.tray_icons() == [] and desktop.visible_windows(TITLE) == []


OTHER_UID = 502
SHARED_LOCK = f"/tmp/pl.tarnvik.sekwo.menubar.{UID}.lock"
# Where the wake socket was when the session had no runtime directory.
OLD_WAKE_SOCKET = f"/tmp/pl.tarnvik.sekwo.show-running-application.{UID}"
HEARD = "/tmp/heard-by-another-user"
CHAT_TITLE = "^Sekwo Tarnvik - Czat$"

# Another local user gets there first: creates and holds the user's lock file
# in /tmp and listens where the wake socket used to be, keeping what it hears.
SQUATTER = """
import fcntl, os, socket, sys
lock_path, wake_path, heard_path = sys.argv[1:]
lock = open(lock_path, "w")
os.chmod(lock_path, 0o666)
fcntl.flock(lock, fcntl.LOCK_EX)
server = socket.socket(socket.AF_UNIX)
server.bind(wake_path)
os.chmod(wake_path, 0o777)
server.listen(8)
print("ready", flush=True)
while True:
    connection, _ = server.accept()
    with connection, open(heard_path, "ab") as heard:
        heard.write(connection.recv(65536))
"""


def plant_incoming(box, name, owner, text):
    body = {"id": name.split(".")[2], "publicId": "rozmowa", "direction": "incoming", "sender": "Konsultant",
            "text": text, "createdAt": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
    temporary = box.path(f"{CHAT_DIR}/.{name}.tmp")
    temporary.write_text(json.dumps(body))
    os.chown(temporary, owner, owner)
    os.rename(temporary, box.path(f"{CHAT_DIR}/{name}"))


def test_another_user_can_neither_stop_nor_redirect_nor_speak_through_it(sandbox, desktop, menubar_binary):
    sandbox.write(SETTINGS, settings_json())
    sandbox.write(LOG, "")
    sandbox.path(LOG).chmod(0o666)  # the user's lines reach the shared log
    sandbox.write(RUSTDESK, RUSTDESK_STAND_IN)
    sandbox.path(RUSTDESK).chmod(0o755)
    sandbox.write(RUSTDESK_CALLS, "")
    sandbox.path(RUSTDESK_CALLS).chmod(0o666)
    squatter = sandbox.popen(["setpriv", f"--reuid={OTHER_UID}", f"--regid={OTHER_UID}", "--clear-groups", "--",
                              PYTHON, "-c", SQUATTER, SHARED_LOCK, OLD_WAKE_SOCKET, HEARD],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert squatter.stdout.readline().strip() == "ready"
        # A session without a runtime directory: the private one is made in the user's home.
        app = desktop.launch([menubar_binary, "--menubar"], XDG_RUNTIME_DIR="")
        wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
        assert app.poll() is None, desktop.output()
        assert f"Shared instance lock {SHARED_LOCK} passed over: " in sandbox.read(LOG)
        private = sandbox.path(f"{HOME}/.local/share/Sekwo Tarnvik").stat()
        assert (private.st_uid, private.st_mode & 0o777) == (UID, 0o700)

        # A link handed over by a second start reaches the running instance, and no one else.
        wait_for(lambda: rustdesk_calls(sandbox) == [["--server"]], 20, "the background start")
        link = "kovadesk-rustdesk://connect?id=abc-123&server=rd.example.org&relay=relay.example.org&key=SECRET"
        assert desktop.run(entry_command(menubar_binary, link), XDG_RUNTIME_DIR="").returncode == 0
        wait_for(lambda: len(rustdesk_calls(sandbox)) == 2, 20, "the connection")
        assert rustdesk_calls(sandbox)[1][-3:] == ["--key", "SECRET", "abc-123"]
        assert not sandbox.exists(HEARD) or sandbox.read(HEARD) == ""
        assert app.poll() is None

        # Only the daemon's (root's) incoming chat files are shown.
        sandbox.run(["install", "-d", "-m", "0755", CHAT_DIR.rsplit("/", 1)[0]]).check_returncode()
        sandbox.run(["install", "-d", "-m", "0777", CHAT_DIR]).check_returncode()
        plant_incoming(sandbox, "rozmowa.1.PHISH.incoming.json", OTHER_UID, "Podaj hasło do komputera.")
        wait_for(lambda: not sandbox.exists(f"{CHAT_DIR}/rozmowa.1.PHISH.incoming.json"), 10, "its removal")
        assert f"Remote chat file of user {OTHER_UID} ignored and removed: rozmowa.1.PHISH.incoming.json" \
            in sandbox.read(LOG)
        plant_incoming(sandbox, "rozmowa.2.DAEMON.incoming.json", 0, "Dzień dobry, tu serwis.")
        assert len(wait_for(lambda: desktop.visible_windows(CHAT_TITLE), 10, "the daemon's message")) == 1
        # Where the user cannot remove it (a sticky directory), it is passed over and logged once.
        sandbox.path(CHAT_DIR).chmod(0o1777)
        plant_incoming(sandbox, "rozmowa.3.STICKY.incoming.json", OTHER_UID, "Podaj hasło do komputera.")
        wait_for(lambda: "ignored (it cannot be removed): rozmowa.3.STICKY" in sandbox.read(LOG), 10, "the line")
        time.sleep(4.5)  # two more passes of the chat timer
        assert sandbox.read(LOG).count("rozmowa.3.STICKY.incoming.json") == 1
        assert sandbox.exists(f"{CHAT_DIR}/rozmowa.3.STICKY.incoming.json")
        shown = desktop.run([PYTHON, SUPPORT / "atspi_text.py", "Sekwo Tarnvik", "Rozmowa"]).stdout
        assert "Dzień dobry, tu serwis." in shown and "Podaj" not in shown
    finally:
        squatter.kill()
        squatter.wait()


def test_second_launch_wakes_the_first(sandbox, desktop, menubar_binary):
    sandbox.write(SETTINGS, settings_json())
    first = start_in_tray(desktop, menubar_binary, "--menubar")
    assert desktop.visible_windows(TITLE) == []
    second = desktop.run([menubar_binary])
    assert second.returncode == 0
    wait_for(lambda: desktop.visible_windows(TITLE), 10, "the first instance's status window")
    assert first.poll() is None
    assert len(desktop.tray_icons()) == 1


def test_first_window_depends_on_the_stored_token(sandbox, desktop, menubar_binary):
    sandbox.write(LOG, "")
    sandbox.path(LOG).chmod(0o666)  # the user's lines reach the shared log
    sandbox.write(SETTINGS, settings_json(token="  "))
    app = start_in_tray(desktop, menubar_binary, "--menubar")
    wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window without a token")
    app.kill()
    app.wait()
    wait_for(lambda: not desktop.tray_icons(), 10, "the icon to go")

    sandbox.write(SETTINGS, settings_json(token="ACME"))
    start_in_tray(desktop, menubar_binary, "--menubar")
    time.sleep(1.5)
    assert desktop.visible_windows(TITLE) == []

    # A middle click opens the window as a left one does; "Nowe zgłoszenie"
    # (Ctrl+N) puts the cursor in the customer e-mail field, and the editor
    # loading beside it leaves it there.
    desktop.click(*desktop.tray_icon_centre(), button=2)
    window = wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window after a middle click")[0]
    desktop.x(["xdotool", "windowfocus", "--sync", str(window), "key", "ctrl+n"])
    wait_for(lambda: "Ticket editor ready" in sandbox.read(LOG), 30, "the description editor")
    # Its web view turns the window into a GL one under a new id, which a
    # window manager would focus again.
    desktop.x(["xdotool", "windowfocus", "--sync", str(desktop.visible_windows(TITLE)[0])])

    def focused():
        return [n["name"] for n in desktop.accessible() if n["focused"] and n["role"] != "document web"]
    wait_for(lambda: focused() == ["E-mail *"], 20, "the cursor in the e-mail field")


def test_right_click_opens_the_menu_built_from_the_state(sandbox, desktop, menubar_binary):
    sandbox.write(SETTINGS, settings_json())
    start_in_tray(desktop, menubar_binary, "--menubar")
    assert desktop.tray_menu() == MENU
    desktop.close_popup()
    sandbox.write(STATE, json.dumps({"connectionIssue": "temporarilyUnavailable",
                                     "connectionMessage": "Serwer Sekwo jest chwilowo niedostępny."}))
    assert desktop.tray_menu()[0] == "Serwer Sekwo jest chwilowo niedostępny."


def test_update_phases_and_connection_issues_are_announced_once(sandbox, desktop, menubar_binary,
                                                                 agent_binary):
    # The daemon records a connection issue against a server that refuses connections.
    sandbox.write(SETTINGS, settings_json(url="https://127.0.0.1:9"))
    daemon = sandbox.popen([agent_binary], cwd="/")
    try:
        wait_for(lambda: sandbox.exists(STATE) and "connectionIssue" in sandbox.read(STATE), 30,
                 "the daemon's connection issue")
    finally:
        daemon.kill()
        daemon.wait()
    issue_message = json.loads(sandbox.read(STATE))["connectionMessage"]

    started = time.monotonic()
    start_in_tray(desktop, menubar_binary, "--menubar")
    first = wait_for(desktop.notifications, 10, "the connection announcement")
    assert [(n["app_name"], n["summary"], n["body"]) for n in first] == \
        [("Sekwo Tarnvik", "Sekwo Tarnvik", issue_message)]
    assert first[0]["actions"][0] == "default"

    # A click on a notification without a ticket (this one, or another
    # application's) is only a dismissal: nothing opens.
    desktop.invoke_action(first[0]["id"] + 100)
    desktop.invoke_action(first[0]["id"])
    time.sleep(0.5)
    assert desktop.visible_windows(TITLE) == []

    sandbox.run(["install", "-d", "-m", "1777", UPDATE_STATUS.rsplit("/", 1)[0]]).check_returncode()
    sandbox.write(UPDATE_STATUS, update_status("downloading", "Pobieranie aktualizacji 0.2.56."))
    wait_for(lambda: len(desktop.notifications()) == 2, 10, "the downloading announcement")
    time.sleep(3.5)  # a few more 1.5 s ticks see the same phase
    assert desktop.visible_windows(UPDATE_TITLE) == []
    sandbox.write(UPDATE_STATUS, update_status("installing", "Instalowanie aktualizacji 0.2.56."))
    wait_for(lambda: desktop.visible_windows(UPDATE_TITLE), 10, "the update window")

    # Past the second 15 s connection check the same issue is still not announced again.
    time.sleep(max(0.0, started + 17 - time.monotonic()))
    assert [n["body"] for n in desktop.notifications()] == [
        issue_message, "Pobieranie aktualizacji 0.2.56.", "Instalowanie aktualizacji 0.2.56."]


def test_status_values_reach_a_screen_reader_and_stay_current(sandbox, desktop, menubar_binary):
    def values():
        return {n["name"]: n["description"] for n in desktop.accessible()
                if n["role"] == "label" and n["showing"] and n["description"]}

    desktop.launch([menubar_binary])  # no settings at all: the window opens on the settings tab
    wait_for(lambda: desktop.visible_windows(TITLE), 20, "the status window")
    desktop.press("Status")
    shown = wait_for(lambda: values().get("Status"), 10, "the status grid")
    assert shown == "Brak firmy / tokenu"
    assert values()["ID wsparcia"] == "ID oczekuje na rejestrację"

    sandbox.write(STATE, json.dumps({"supportId": " 100007919 ", "deviceUid": "vm-1"}))
    wait_for(lambda: values().get("ID wsparcia") == "100007919", 10, "the 2 s refresh")
    assert {k: values()[k] for k in ("Status", "Device UID", "Wersja")} == \
        {"Status": "Zarejestrowany", "Device UID": "vm-1", "Wersja": "0.2.55"}
