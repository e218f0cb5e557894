"""The menu bar application as a user of a desktop session in the sandbox:
entry refusals, the single instance, the first window, the tray menu and the
announcements of update phases and connection issues."""
import datetime
import json
import time

from conftest import LOG, SETTINGS, STATE, settings_json
from desktop import wait_for

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
    assert desktop.tray_icons() == [] and desktop.visible_windows(TITLE) == []


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

    # Only the application's own notifications are acted on; a click on one shows the status window.
    desktop.invoke_action(first[0]["id"] + 100)
    time.sleep(0.5)
    assert desktop.visible_windows(TITLE) == []
    desktop.invoke_action(first[0]["id"])
    wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window after a click")

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
