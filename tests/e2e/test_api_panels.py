"""Tickets and the customer panel through the product's client (kova-api-probe)
against the stand-in over real TLS, inside the sandbox."""
import base64
import json
import os
import re

import pytest

from conftest import SETTINGS, STATE, settings_json

UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
TICKET_KEYS = {"device_uid", "support_id", "client_request_id", "customer_name", "customer_email", "cc_emails",
               "phone", "subject", "description", "priority", "ticket_type", "source_metadata", "attachments"}


def probe(box, binary, *args, **secrets):
    r = box.run([binary, *args], cwd="/", env=dict(os.environ, **secrets))
    assert r.returncode in (0, 1), r.stderr
    return r.returncode, json.loads(r.stdout), r.stdout + r.stderr


@pytest.fixture
def box(trusted_sandbox, standin, probe_binary):
    trusted_sandbox.write(SETTINGS, settings_json(url=standin.url + "/", token="ACME"))
    code, out, _ = probe(trusted_sandbox, probe_binary, "register", json.dumps({"device_uid": "mac-1", "hostname": "h"}))
    assert code == 0 and out["has_device_token"], out
    # The daemon keeps the identifiers beside the token; the ticket reads them from there.
    state = json.loads(trusted_sandbox.read(STATE))
    state.update(deviceUid="mac-1", supportId=out["support_id"])
    trusted_sandbox.write(STATE, json.dumps(state))
    return trusted_sandbox


def file_ticket(box, probe_binary, **draft):
    return probe(box, probe_binary, "ticket", json.dumps(draft))


def test_ticket_body_retry_and_answers(box, standin, probe_binary):
    picture = bytes(range(256)) * 3 + b"\x00\xff"
    box.write("/tmp/zrzut.png", "")
    box.path("/tmp/zrzut.png").write_bytes(picture)
    box.write("/tmp/log.txt", "linia 1\nlinia 2\n")
    draft = {
        "customer_name": "Anna Nowak", "customer_email": "anna@example.com", "cc_emails": ["b@example.com"],
        "phone": "+48 600 100 200", "subject": "Drukarka", "description": '<p>Nie "drukuje" \\ <img src="[[img-1]]"></p>',
        "priority": "high", "ticket_type": "incident",
        "attachments": [
            {"filename": "zrzut.png", "content_type": "image/png", "path": "/tmp/zrzut.png", "inline_placeholder": "[[img-1]]"},
            {"filename": "log.txt", "content_type": "text/plain", "path": "/tmp/log.txt"},
        ],
    }
    code, out, _ = file_ticket(box, probe_binary, **draft)
    assert code == 0 and out["display_number"] == "HD-01001", out
    state = json.loads(box.read(STATE))
    request = standin.requests(path="/api/agent/tickets")[-1]
    assert request["headers"]["authorization"] == "Device " + state["deviceToken"]
    body = request["json"]
    assert set(body) == TICKET_KEYS
    assert (body["device_uid"], body["support_id"]) == ("mac-1", state["supportId"])
    assert UUID.match(body["client_request_id"])
    assert body["description"] == draft["description"]
    assert body["source_metadata"]["client_app"]["platform"] == "macos"
    assert set(body["source_metadata"]["client_app"]) == {"platform", "agent_version", "submitted_at"}
    first, second = body["attachments"]
    assert base64.b64decode(first["data_base64"], validate=True) == picture
    assert first["inline_placeholder"] == "[[img-1]]" and "inline_placeholder" not in second
    assert base64.b64decode(second["data_base64"]) == b"linia 1\nlinia 2\n"

    # The retry after a 503 repeats the submission: one more ticket, not two.
    standin.fail_with_status("/api/agent/tickets", 503, count=1)
    standin.set_ticket_answer(ticket_number="  ", public_id_prefix="kova-")
    code, out, _ = file_ticket(box, probe_binary, subject="Monitor")
    assert code == 0 and out["display_number"] == "#000002" and out["ticket_number"] == "  "
    ids = [r["json"]["client_request_id"] for r in standin.requests(path="/api/agent/tickets")]
    assert len(ids) == 3 and ids[1] == ids[2] != ids[0]
    assert len(standin.list("tickets")) == 2


def test_customer_login_and_reply_notifications(box, standin, probe_binary):
    standin.add_customer("anna@example.com", "tajne-haslo", full_name="Anna Nowak", phone=None,
                         organization_name="Biuro")
    code, out, text = probe(box, probe_binary, "customer-login", "Anna@example.com", KOVA_PROBE_PASSWORD="tajne-haslo")
    assert code == 0, out
    assert out["customer"] == {"email": "anna@example.com", "full_name": "Anna Nowak", "organization_name": "Biuro",
                               "can_view_organization_tickets": False}
    login = standin.requests(path="/api/customer/session")[-1]
    assert login["json"] == {"email": "Anna@example.com", "password": "tajne-haslo"}
    assert "authorization" not in login["headers"] and "x-customer-session" not in login["headers"]
    code, out, text = probe(box, probe_binary, "customer-login", "anna@example.com", KOVA_PROBE_PASSWORD="zle-haslo")
    assert code == 1 and out["error"]["status"] == 401 and "zle-haslo" not in text

    code, ticket, _ = file_ticket(box, probe_binary, subject="Drukarka", customer_email="anna@example.com")
    standin.add_ticket_reply(ticket["public_id"], "Proszę o restart")
    session = standin.create_customer_session("anna@example.com")
    token = session["access_token"]

    def poll(after, limit):
        return probe(box, probe_binary, "customer-notifications", str(after), str(limit), KOVA_PROBE_SESSION_TOKEN=token)

    code, page, text = poll(-5, 500)
    assert code == 0 and token not in text
    assert [(i["ticket_number"], i["subject"], i["message_text"]) for i in page["items"]] == [
        ("HD-01001", "Drukarka", "Proszę o restart")]
    request = standin.requests(path="/api/customer/ticket-notifications")[-1]
    assert request["query_string"] == "after_message_id=0&limit=50"
    assert request["headers"]["x-customer-session"] == token and "authorization" not in request["headers"]

    standin.add_notification("anna@example.com", omit=["ticket_number"])
    code, out, _ = poll(page["cursor"], 0)
    assert code == 1 and out["error"]["kind"] == "decoding"
    assert standin.requests(path="/api/customer/ticket-notifications")[-1]["query"]["limit"] == "1"

    standin.revoke_customer_sessions()
    code, out, text = poll(0, 20)
    assert code == 1 and out["error"]["status"] == 401 and token not in text
