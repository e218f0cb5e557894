"""Pictures of the menu bar application for review: each tab of the status
window, the open tray menu and the update window, driven through the real UI
(tray clicks with xdotool, buttons through AT-SPI) under Xvfb in the sandbox;
run as a script also a filled ticket form and the accepted-ticket panel,
filed with the helpdesk stand-in.

usage: scripts/screenshots.py BUILD_DIR OUT_DIR
As a module, capture(desktop, binary, out_dir) works in a running desktop;
ticket=True files a ticket too (the server must accept it).
"""
import json
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from desktop import Desktop, wait_for  # noqa: E402
from sandbox import Sandbox  # noqa: E402

sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
from standin_client import HelpdeskStandIn  # noqa: E402

TABS = [("Status", "status-tab"), ("Nowe zgłoszenie", "ticket-tab"), ("Otwórz panel", "customer-panel-tab"),
        ("Ustawienia", "settings-tab")]
TITLE = "^Sekwo Tarnvik$"
UPDATE_TITLE = "^Aktualizacje Sekwo Tarnvik$"
RUNTIME = "/Library/Application Support/Sekwo Tarnvik/runtime"
SETTINGS = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"
STATE = "/Library/Application Support/Sekwo Tarnvik/sekwo.state.json"
LOG = "/Library/Logs/Sekwo Tarnvik/sekwo.log"
SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


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


def status_window(desktop):
    # The editor's web view turns the window into a GL one, under a new id.
    return wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window")[0]


def type_into(desktop, name, text, role="text", dy=None):
    node = wait_for(lambda: next((n for n in desktop.accessible() if n["showing"] and n["name"] == name
                                  and n["role"] == role), None), 10, name)
    x, y, w, h = node["extents"]
    desktop.x(["xdotool", "windowfocus", "--sync", str(status_window(desktop))])
    desktop.click(x + w // 2, y + (h // 2 if dy is None else dy))
    desktop.x(["xdotool", "type", "--delay", "15", text])


def file_ticket(desktop, out):
    """A filled form, then the accepted-ticket panel; pictures of both."""
    saved = []
    desktop.press("Nowe zgłoszenie")
    wait_for(lambda: "Ticket editor ready" in desktop.box.read(LOG), 30, "the description editor")
    type_into(desktop, "Zgłaszający", "Anna Nowak")
    type_into(desktop, "E-mail *", "anna.nowak@example.com")
    type_into(desktop, "DW (opcjonalnie)", "biuro@example.com")
    type_into(desktop, "Telefon", "+48 600 100 200")
    type_into(desktop, "Temat *", "Drukarka w biurze nie drukuje")
    type_into(desktop, "Opis *", "Od rana drukarka pokazuje blad papieru.", role="label", dy=120)
    settle()
    saved.append(desktop.screenshot(out / "ticket-form-filled.png", status_window(desktop)))
    # A small screen scrolls the form: its attachment and submit rows, too.
    node = next(n for n in desktop.accessible() if n["showing"] and n["name"] == "Temat *" and n["role"] == "text")
    desktop.x(["xdotool", "mousemove", str(node["extents"][0] - 60), str(node["extents"][1]),
               "click", "--repeat", "6", "5"])
    settle()
    saved.append(desktop.screenshot(out / "ticket-form-filled-end.png", status_window(desktop)))
    main = status_window(desktop)
    desktop.press("Wyślij zgłoszenie")
    panel = wait_for(lambda: [w for w in desktop.visible_windows(TITLE) if w != main], 20, "the panel")[0]
    settle()
    saved.append(desktop.screenshot(out / "ticket-accepted-panel.png", panel))
    desktop.press("OK")
    wait_for(lambda: len(desktop.visible_windows(TITLE)) == 1, 10, "the panel to close")
    return saved


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


def capture(desktop, binary, out_dir, log=print, ticket=False):
    out = pathlib.Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    desktop.box.run(["install", "-d", "-m", "1777", RUNTIME]).check_returncode()
    saved = []

    app = desktop.launch([binary])
    wait_for(lambda: app.poll() is not None or desktop.visible_windows(TITLE), 20, "the status window")
    if app.poll() is not None:
        raise RuntimeError(f"the menu bar exited: {desktop.output()}")
    settle()
    for name, file in TABS:
        desktop.press(name)
        settle()
        if name == "Nowe zgłoszenie":
            wait_for(lambda: not desktop.box.exists(LOG) or "Ticket editor" in desktop.box.read(LOG), 30,
                     "the description editor")
            settle()
        saved.append(desktop.screenshot(out / f"{file}.png", status_window(desktop)))
    window = status_window(desktop)
    saved.append(capture_settings_bottom(desktop, out / "settings-tab-bottom.png", window))
    saved.append(capture_logged_in_settings(desktop, out / "settings-tab-logged-in.png", window))
    if ticket:
        saved.extend(file_ticket(desktop, out))
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
    work.mkdir(parents=True, exist_ok=True)
    # The stand-in on loopback answers the ticket; nothing else reaches a server.
    with HelpdeskStandIn(viewer_tokens=["DEMO-COMPANY"]) as server:
        bundle = work / "ca-certificates.crt"
        bundle.write_text(pathlib.Path(SYSTEM_CA_BUNDLE).read_text() + "\n" + pathlib.Path(server.ca).read_text())
        box = Sandbox(work / "sandbox", overlays=[(bundle, SYSTEM_CA_BUNDLE)]).start()
        desktop = None
        try:
            box.write(SETTINGS, json.dumps({
                "serverBaseUrl": server.url, "viewerToken": "DEMO-COMPANY", "auditIntervalMinutes": 360,
                "heartbeatIntervalSeconds": 300, "commandPollIntervalSeconds": 60, "chatPollIntervalSeconds": 2,
                "controlReconnectMaxSeconds": 30}, indent=2))
            # A registered device without its own token: the ticket goes with the company's.
            box.write(STATE, json.dumps({"deviceUid": "demo-mac", "supportId": "100200300",
                                         "lastInventoryAt": "2026-12-09T16:17:22Z",
                                         "lastHeartbeatAt": "2026-12-09T16:42:05Z"}))
            box.write(LOG, "")
            box.path(LOG).chmod(0o666)
            desktop = Desktop(box, accessibility=True).start()
            for path in capture(desktop, binary, out, ticket=True):
                print(path)
        finally:
            if desktop:
                desktop.stop()
            box.stop()


if __name__ == "__main__":
    main()
