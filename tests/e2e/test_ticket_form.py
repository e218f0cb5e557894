"""The ticket form in the real window with the daemon registered beside it: a
ticket with two attachments reaches the helpdesk with the device's
authorisation, the accepted-ticket panel shows its number, the next ticket
starts from the sender's data only, and a refused ticket keeps the form."""
import base64
import json

from conftest import LOG, SETTINGS, STATE, settings_json, started
from desktop import PYTHON, SUPPORT, wait_for

TITLE = "^Sekwo Tarnvik$"
FILES_DIR = "/tmp/zalaczniki"


def showing(desktop, name, role=None):
    nodes = [n for n in desktop.accessible()
             if n["showing"] and n["name"] == name and (role is None or n["role"] == role)]
    return nodes[0] if nodes else None


def text_of(desktop, name):
    r = desktop.run([PYTHON, SUPPORT / "atspi_text.py", "Sekwo Tarnvik", name])
    return r.stdout.rstrip("\n") if r.returncode == 0 else None


def click_into(desktop, window, name, dy=0, role="text"):
    node = wait_for(lambda: showing(desktop, name, role), 10, name)
    x, y, w, h = node["extents"]
    desktop.x(["xdotool", "windowfocus", "--sync", str(window)])
    desktop.click(x + w // 2, y + (h // 2 if dy == 0 else dy))


def type_into(desktop, window, name, text):
    click_into(desktop, window, name)
    desktop.x(["xdotool", "key", "ctrl+a", "BackSpace"])
    desktop.x(["xdotool", "type", "--delay", "15", text])


def type_description(desktop, window, text):
    # The editor's text area lies below its toolbar, inside the "Opis *" frame.
    click_into(desktop, window, "Opis *", dy=120, role="label")
    desktop.x(["xdotool", "type", "--delay", "25", text])


def choose_files(desktop, paths):
    """Qt's own file dialog (no platform dialog under Xvfb): the directory, then the quoted names."""
    dialog = wait_for(lambda: desktop.visible_windows("."), 10, "the file dialog")
    wait_for(lambda: showing(desktop, "Dodaj", "push button"), 10, "the dialog's Dodaj button")
    desktop.x(["xdotool", "type", "--delay", "10", FILES_DIR + "/"])
    desktop.x(["xdotool", "key", "Return"])
    desktop.x(["xdotool", "type", "--delay", "10", " ".join('"%s"' % p for p in paths)])
    desktop.x(["xdotool", "key", "Return"])
    return dialog


def alert_labels(desktop, title):
    wait_for(lambda: desktop.visible_windows("^" + title + "$"), 15, "the alert " + title)
    return [n["name"] for n in desktop.accessible() if n["showing"] and n["role"] == "label"]


def test_ticket_filed_through_the_window(trusted_sandbox, trusted_desktop, standin, agent_binary,
                                         menubar_binary, tmp_path):
    box, desktop = trusted_sandbox, trusted_desktop
    box.write(SETTINGS, settings_json(url=standin.url, token="ACME", commandPollIntervalSeconds=30))
    daemon, uid = started(box, agent_binary)
    try:
        picture = bytes(range(256)) * 40
        box.run(["install", "-d", "-m", "0755", FILES_DIR]).check_returncode()
        box.path(FILES_DIR + "/zrzut.png").write_bytes(picture)
        box.write(FILES_DIR + "/log.txt", "linia 1\nlinia 2\n")
        box.run(["chmod", "0644", FILES_DIR + "/zrzut.png", FILES_DIR + "/log.txt"]).check_returncode()
        box.path(LOG).chmod(0o666)

        app = desktop.launch([menubar_binary])
        window = wait_for(lambda: desktop.visible_windows(TITLE), 20, "the status window")[0]
        desktop.press("Nowe zgłoszenie")
        wait_for(lambda: "Ticket editor ready" in box.read(LOG), 30, "the description editor")
        assert app.poll() is None, desktop.output()
        # The web view turns the window into a GL one: it comes back under a new id.
        window = wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window")[0]

        type_into(desktop, window, "Zgłaszający", "Anna Nowak")
        type_into(desktop, window, "E-mail *", "anna@example.com")
        type_into(desktop, window, "DW (opcjonalnie)", "Biuro@Example.com; ANNA@example.com")
        type_into(desktop, window, "Telefon", "+48 600 100 200")
        type_into(desktop, window, "Temat *", "Drukarka")
        type_description(desktop, window, 'Nie "drukuje" C:\\dane')
        click_into(desktop, window, "Normalny", role="combo box")  # named by its current item
        desktop.x(["xdotool", "key", "Down", "Return"])
        desktop.press("Dodaj załącznik")
        choose_files(desktop, ["zrzut.png", "log.txt"])
        wait_for(lambda: (showing(desktop, "Załączniki") or {}).get("description", "").startswith("2 plik(i), "),
                 10, "the attachment summary")
        desktop.screenshot(tmp_path / "ticket-form.png", window=window)

        desktop.press("Wyślij zgłoszenie")
        ticket = standin.wait_for("tickets", 1, timeout=20)[0]
        request = standin.requests(path="/api/agent/tickets")[-1]
        state = json.loads(box.read(STATE))
        assert request["headers"]["authorization"] == "Device " + state["deviceToken"]
        body = request["json"]
        assert (body["device_uid"], body["customer_name"], body["customer_email"], body["phone"]) == \
            (uid, "Anna Nowak", "anna@example.com", "+48 600 100 200")
        assert body["cc_emails"] == ["biuro@example.com"]
        assert (body["subject"], body["priority"], body["ticket_type"]) == ("Drukarka", "high", "tarnvik")
        assert body["description"] == "<p>Nie &quot;drukuje&quot; C:\\dane</p>" or \
            body["description"] == '<p>Nie "drukuje" C:\\dane</p>', body["description"]
        files = {a["filename"]: a for a in body["attachments"]}
        assert [a["filename"] for a in body["attachments"]] == ["zrzut.png", "log.txt"]
        assert base64.b64decode(files["zrzut.png"]["data_base64"], validate=True) == picture
        assert files["zrzut.png"]["content_type"] == "image/png"
        assert base64.b64decode(files["log.txt"]["data_base64"]) == b"linia 1\nlinia 2\n"
        assert files["log.txt"]["content_type"] == "text/plain"

        number = ticket["response"]["ticket_number"]
        wait_for(lambda: showing(desktop, "Numer zgłoszenia: " + number), 15, "the accepted-ticket panel")
        desktop.screenshot(tmp_path / "ticket-accepted.png")
        desktop.press("OK")
        wait_for(lambda: not showing(desktop, "Numer zgłoszenia: " + number), 10, "the panel to close")
        assert showing(desktop, "Status zgłoszenia")["description"] == "Zgłoszenie przyjęte: " + number
        assert (text_of(desktop, "Temat *"), text_of(desktop, "DW (opcjonalnie)")) == ("", "")
        assert text_of(desktop, "E-mail *") == "anna@example.com"

        # The next ticket: the description and the attachments went with the first one.
        type_into(desktop, window, "Temat *", "Monitor")
        desktop.press("Wyślij zgłoszenie")
        assert "Opis zgłoszenia musi mieć co najmniej 3 znaki albo zawierać obraz." in \
            alert_labels(desktop, "Brakuje opisu")
        desktop.press("OK")
        wait_for(lambda: not desktop.visible_windows("^Brakuje opisu$"), 10, "the alert to close")

        # Refused by the helpdesk: the composed message, and every field keeps its content.
        type_description(desktop, window, "Monitor miga")
        standin.fail_with_status("/api/agent/tickets", 422, body={"detail": "zamknięte"}, count=None)
        desktop.press("Wyślij zgłoszenie")
        labels = alert_labels(desktop, "Nie wysłano zgłoszenia")
        message = [t for t in labels if t.startswith("Nie udało się wysłać zgłoszenie")]
        assert message, labels
        desktop.press("OK")
        wait_for(lambda: not desktop.visible_windows("^Nie wysłano zgłoszenia$"), 10, "the alert to close")
        assert showing(desktop, "Status zgłoszenia")["description"] == message[0]
        assert (text_of(desktop, "Temat *"), text_of(desktop, "Telefon")) == ("Monitor", "+48 600 100 200")
        assert len(standin.list("tickets")) == 1

        standin.clear_faults()
        desktop.press("Wyślij zgłoszenie")
        second = standin.wait_for("tickets", 2, timeout=20)[1]["request"]
        keep = ("customer_name", "customer_email", "phone", "priority", "ticket_type")
        assert {k: second[k] for k in keep} == {k: body[k] for k in keep}
        assert (second["subject"], second["cc_emails"], second["attachments"]) == ("Monitor", [], [])
        assert second["description"] == "<p>Monitor miga</p>"
        wait_for(lambda: showing(desktop, "OK", "push button"), 15, "the second panel")
        desktop.press("OK")
    finally:
        daemon.proc.kill()
        daemon.proc.wait()
