"""Ticket-reply notifications as the user meets them: log in to the customer
panel in the settings tab, a consultant's reply arrives as a notification
whose click opens the ticket in the browser, and a session the helpdesk
revokes logs the tab out."""
import stat

from conftest import LOG, SETTINGS, settings_json
from desktop import HOME, UID, wait_for

TITLE = "^Sekwo Tarnvik$"
EMAIL, PASSWORD = "anna.nowak@firma.pl", "Tajne-Haslo-42"
SESSION_DIR = f"{HOME}/.local/share/Sekwo Tarnvik"
SESSION_FILE = f"{SESSION_DIR}/customer-session.json"
OPENED = f"{HOME}/opened-urls"
# Stands in for the desktop's URL opener: the first xdg-open on the application's PATH.
RECORDING_OPENER = f"""#!/bin/sh
printf '%s\\n' "$*" >> '{OPENED}'
"""
LOGGED_IN = f"Powiadomienia o zgłoszeniach są połączone z kontem {EMAIL}."
LOGGED_OUT = "Zaloguj się, aby otrzymywać powiadomienia dotyczące zgłoszeń."


def showing(desktop, name, roles):
    nodes = [n for n in desktop.accessible() if n["name"] == name and n["role"] in roles and n["showing"]]
    return nodes[0] if nodes else None


def type_into(desktop, name, roles, text):
    node = wait_for(lambda: showing(desktop, name, roles), 10, f"the field {name}")
    x, y, width, height = node["extents"]
    desktop.click(x + width // 2, y + height // 2)
    desktop.x(["xdotool", "type", "--delay", "20", text])


def login_status(desktop):
    return {n["description"] for n in desktop.accessible()
            if n["name"] == "Powiadomienia o zgłoszeniach" and n["showing"] and n["description"]}


def test_login_reply_notification_click_and_revoked_session(trusted_sandbox, trusted_desktop, standin,
                                                            menubar_binary):
    box, desktop = trusted_sandbox, trusted_desktop
    standin.add_customer(EMAIL, PASSWORD, full_name="Anna Nowak")
    box.write(SETTINGS, settings_json(url=standin.url, token="ACME"))
    box.write(f"{HOME}/bin/xdg-open", RECORDING_OPENER)
    box.path(f"{HOME}/bin/xdg-open").chmod(0o755)
    box.write(OPENED, "")
    box.write(LOG, "")
    box.path(LOG).chmod(0o666)  # the user's lines are dropped where the log is not writable for it
    box.run(["chown", f"{UID}:{UID}", OPENED]).check_returncode()

    app = desktop.launch([menubar_binary], PATH=f"{HOME}/bin:/usr/local/bin:/usr/bin:/bin")
    wait_for(lambda: app.poll() is not None or desktop.visible_windows(TITLE), 20, "the status window")
    assert app.poll() is None, desktop.output()
    desktop.x(["xdotool", "windowfocus", "--sync", str(desktop.visible_windows(TITLE)[0])])
    desktop.press("Ustawienia")
    assert wait_for(lambda: login_status(desktop), 10, "the login card") == {LOGGED_OUT}

    type_into(desktop, "E-mail", ("text",), "  Anna.Nowak@Firma.PL ")
    type_into(desktop, "Hasło", ("password text", "text"), PASSWORD)
    desktop.press("Zaloguj")
    wait_for(lambda: login_status(desktop) == {LOGGED_IN}, 20, "the logged-in display")
    assert showing(desktop, "E-mail", ("text",)) is None
    assert showing(desktop, "Wyloguj", ("push button",)) is not None
    modes = {p: stat.S_IMODE(box.path(p).stat().st_mode) for p in (SESSION_DIR, SESSION_FILE)}
    assert modes == {SESSION_DIR: 0o700, SESSION_FILE: 0o600}
    logins = standin.requests(path="/api/customer/session")
    assert [r["json"] for r in logins] == [{"email": EMAIL, "password": PASSWORD}]
    assert not {"authorization", "x-customer-session"} & set(logins[0]["headers"])

    # The server's texts reach the notification server as text (escaped for its body markup), cut short.
    hostile = '<a href="https://evil.example/">klik</a> <img src="file:///etc/passwd"> <b>&</b>'
    reply = standin.add_notification(EMAIL, ticket_number="HD-01042", ticket_public_id="KOVA-7Q2",
                                     subject="Drukarka w biurze",
                                     message_text=f"  Proszę ją zrestartować. {hostile}" + "x" * 100_000)

    def reply_notifications():
        return [n for n in desktop.notifications() if n["summary"].startswith("Konsultant odpowiedział")]
    shown = wait_for(reply_notifications, 30, "the reply notification (one 20 s poll)")
    escaped = ('&lt;a href="https://evil.example/"&gt;klik&lt;/a&gt; &lt;img src="file:///etc/passwd"&gt; '
               '&lt;b&gt;&amp;&lt;/b&gt;')
    body = "Drukarka w biurze\nProszę ją zrestartować. " + escaped
    assert [n["summary"] for n in shown] == ["Konsultant odpowiedział • HD-01042"]
    assert shown[0]["body"] == body + "x" * (999 - len(body) + len(escaped) - len(hostile)) + "…"
    assert shown[0]["hints"]["x-sekwo-identifier"].startswith("ticket-KOVA-7Q2-")
    assert reply["message_id"] > 0

    desktop.invoke_action(shown[0]["id"])
    opened = wait_for(lambda: box.read(OPENED).split(), 10, "the browser")
    assert opened == [f"{standin.url}/customer/tickets/KOVA-7Q2"]

    # The helpdesk ends the session: the next poll logs the tab out without a word in the log.
    standin.revoke_customer_sessions()
    wait_for(lambda: not box.path(SESSION_FILE).exists(), 30, "the session file to go")
    wait_for(lambda: login_status(desktop) == {LOGGED_OUT}, 10, "the logged-out display")
    assert showing(desktop, "E-mail", ("text",)) is not None
    log = box.read(LOG)
    assert "menu bar started." in log and "Customer ticket notifications poll failed" not in log
    polls = standin.requests(path="/api/customer/ticket-notifications")
    assert all("authorization" not in r["headers"] for r in polls)
    token = polls[-1]["headers"]["x-customer-session"]
    assert token not in log and PASSWORD not in log and token not in desktop.output()
