"""Pictures of the menu bar application for review: each tab of the status
window, the open tray menu and the update window, driven through the real UI
(tray clicks with xdotool, buttons through AT-SPI) under Xvfb in the sandbox.

usage: scripts/screenshots.py BUILD_DIR OUT_DIR
As a module, capture(desktop, binary, out_dir) works in a running desktop.
"""
import json
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from desktop import Desktop, wait_for  # noqa: E402
from sandbox import Sandbox  # noqa: E402

TABS = [("Status", "status-tab"), ("Nowe zgłoszenie", "ticket-tab"), ("Otwórz panel", "customer-panel-tab"),
        ("Ustawienia", "settings-tab")]
TITLE = "^Sekwo Tarnvik$"
UPDATE_TITLE = "^Aktualizacje Sekwo Tarnvik$"
RUNTIME = "/Library/Application Support/Sekwo Tarnvik/runtime"
SETTINGS = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"


def settle():
    # A repaint after a click or a show takes a few frames; nothing to wait on.
    time.sleep(0.6)


def tray_menu_region(desktop, before):
    """A screen rectangle around the tray host and the menu that opened."""
    host = desktop.tray_host()
    boxes = [w for w in desktop.tree() if w[0] == host or (w[0] not in before and w[2] > 40 and w[3] > 40)]
    left = max(0, min(b[4] for b in boxes) - 8)
    top = max(0, min(b[5] for b in boxes) - 8)
    right = max(b[4] + b[2] for b in boxes) + 8
    bottom = max(b[5] + b[3] for b in boxes) + 8
    return f"{right - left}x{bottom - top}+{left}+{top}"


def capture_logged_in_settings(desktop, path, window):
    """The settings tab once a customer-panel session is on disk (the window's
    2 s refresh picks it up); the session is removed again afterwards."""
    from desktop import HOME, UID
    directory = f"{HOME}/.local/share/Sekwo Tarnvik"
    session = f"{directory}/customer-session.json"
    desktop.box.run(["install", "-d", "-o", str(UID), "-g", str(UID), "-m", "0700", directory]).check_returncode()
    desktop.box.write(session, json.dumps({
        "accessToken": "cs_screenshot", "expiresAt": "2099-01-01T00:00:00Z", "lastNotificationMessageId": 0,
        "customer": {"email": "anna.nowak@firma.pl", "full_name": "Anna Nowak",
                     "can_view_organization_tickets": False}}))
    desktop.press("Ustawienia")
    time.sleep(2.5)
    try:
        return desktop.screenshot(path, window)
    finally:
        desktop.box.path(session).unlink()


def capture_settings_bottom(desktop, path, window):
    """The lower cards of the settings tab (customer login, notifications),
    scrolled into view with the mouse wheel."""
    _, _, width, height, x, y, _ = next(w for w in desktop.tree() if w[0] == window)
    desktop.press("Ustawienia")
    for _ in range(10):
        desktop.click(x + width // 2, y + height // 2, button=5)
    settle()
    shot = desktop.screenshot(path, window)
    for _ in range(10):
        desktop.click(x + width // 2, y + height // 2, button=4)
    return shot


def capture(desktop, binary, out_dir, log=print):
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    desktop.box.run(["install", "-d", "-m", "1777", RUNTIME]).check_returncode()
    saved = []

    app = desktop.launch([binary])
    wait_for(lambda: app.poll() is not None or desktop.visible_windows(TITLE), 20, "the status window")
    if app.poll() is not None:
        raise RuntimeError(f"the menu bar exited: {desktop.output()}")
    window = desktop.visible_windows(TITLE)[0]
    settle()
    for name, file in TABS:
        desktop.press(name)
        settle()
        saved.append(desktop.screenshot(out / f"{file}.png", window))
    saved.append(capture_settings_bottom(desktop, out / "settings-tab-bottom.png", window))
    saved.append(capture_logged_in_settings(desktop, out / "settings-tab-logged-in.png", window))
    desktop.press("Status")

    before = {w[0] for w in desktop.tree()}
    items = desktop.tray_menu()
    settle()
    saved.append(desktop.screenshot(out / "tray-menu.png", region=tray_menu_region(desktop, before)))
    desktop.close_popup()
    log(f"   tray menu: {json.dumps(items, ensure_ascii=False)}")

    desktop.press("Sprawdź aktualizacje")
    wait_for(lambda: desktop.visible_windows(UPDATE_TITLE), 10, "the update window")
    time.sleep(2)  # one 1.5 s poll, so a daemon's answer to the request can show
    saved.append(desktop.screenshot(out / "update-window.png", desktop.visible_windows(UPDATE_TITLE)[0]))
    return saved


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    out = pathlib.Path(sys.argv[2]).resolve()
    binary = build / "src" / "menubar" / "Sekwo Tarnvik"
    work = build / "screenshots-sandbox"
    box = Sandbox(work).start()
    desktop = None
    try:
        # Loopback only: nothing here should reach a server, and nothing answers there.
        box.write(SETTINGS, json.dumps({
            "serverBaseUrl": "https://127.0.0.1:9", "viewerToken": "DEMO-COMPANY", "auditIntervalMinutes": 360,
            "heartbeatIntervalSeconds": 300, "commandPollIntervalSeconds": 60, "chatPollIntervalSeconds": 2,
            "controlReconnectMaxSeconds": 30}, indent=2))
        desktop = Desktop(box, accessibility=True).start()
        for path in capture(desktop, binary, out):
            print(path)
    finally:
        if desktop:
            desktop.stop()
        box.stop()


if __name__ == "__main__":
    main()
