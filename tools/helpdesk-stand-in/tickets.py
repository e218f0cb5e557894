"""Tickets and the customer panel of the stand-in.

The public side is what the menu bar application calls for itself: filing a
ticket (authorised as a device), the customer login and the query for
consultants' replies (authorised by the customer session only). The admin side
scripts it: how a ticket is answered, customer accounts, sessions that expire
or are revoked, and consultants' replies to filed tickets.
"""

import base64
import binascii
import datetime
import secrets
import time

from aiohttp import web

from api import authenticate, json_object_body, json_response, problem
from store import default_ticket_answer, utc_now_iso

DEFAULT_REPLY_TEXT = "Odpowiedź konsultanta"
NOTIFICATION_KEYS = ("message_id", "ticket_public_id", "ticket_number", "subject", "message_text", "created_at")


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _expiry_text(epoch, fractional):
    moment = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    text = moment.strftime("%Y-%m-%dT%H:%M:%S")
    if fractional:
        text += ".%03d" % (moment.microsecond // 1000)
    return text + "Z"


class TicketDesk:
    def __init__(self, store, base_url):
        self.store = store
        self.base_url = base_url

    def public_routes(self):
        return [
            web.post("/api/agent/tickets", self.ticket),
            web.post("/api/customer/session", self.customer_login),
            web.get("/api/customer/ticket-notifications", self.customer_notifications),
        ]

    def admin_routes(self):
        return [
            web.get("/admin/tickets/answer", self.get_ticket_answer),
            web.put("/admin/tickets/answer", self.put_ticket_answer),
            web.post("/admin/tickets/{public_id}/replies", self.add_reply),
            web.post("/admin/customers", self.add_customer),
            web.post("/admin/customers/notifications", self.add_notification),
            web.post("/admin/customers/sessions", self.create_session),
            web.post("/admin/customers/sessions/expire", self.expire_sessions),
            web.post("/admin/customers/sessions/revoke", self.revoke_sessions),
        ]

    # -- filing a ticket ------------------------------------------------

    async def ticket(self, request):
        auth = authenticate(self.store, request)
        if auth.error:
            return auth.response()
        body, error = await json_object_body(request)
        if error is not None:
            return error
        subject = body.get("subject")
        if not isinstance(subject, str) or not subject.strip():
            return problem(422, "subject is required")
        attachments = body.get("attachments", [])
        if not isinstance(attachments, list):
            return problem(422, "attachments must be an array")
        sizes = []
        for index, attachment in enumerate(attachments):
            if not isinstance(attachment, dict) or not isinstance(attachment.get("filename"), str):
                return problem(422, "attachment %d needs a filename" % index)
            try:
                data = base64.b64decode(attachment.get("data_base64", ""), validate=True)
            except (binascii.Error, TypeError, ValueError):
                return problem(422, "attachment %d has invalid data_base64" % index)
            sizes.append(len(data))
        request_id = body.get("client_request_id")
        if isinstance(request_id, str) and request_id:
            for ticket in self.store.tickets:
                if ticket["client_request_id"] == request_id:
                    # A retried submission must not open a second ticket.
                    return json_response(ticket["response"])
        sequence = len(self.store.tickets) + 1
        answer = self.store.ticket_answer
        public_id = answer["public_id_prefix"] + "%06d" % sequence
        # The desk always numbers a ticket; the answer may still leave the number out.
        number = "HD-%05d" % (1000 + sequence)
        response = {"public_id": public_id}
        if answer["ticket_number"] is True:
            response["ticket_number"] = number
        elif answer["ticket_number"] is not False:
            response["ticket_number"] = answer["ticket_number"]
        if answer["ticket_url"]:
            response["ticket_url"] = self.base_url + "/customer/tickets/" + public_id
        response.update({"subject": subject, "status": "new"})
        email = body.get("customer_email")
        self.store.tickets.append(
            {
                "client_request_id": request_id,
                "auth": auth.kind,
                "device_uid": auth.device["device_uid"] if auth.device else body.get("device_uid"),
                "public_id": public_id,
                "number": number,
                "subject": subject,
                "customer_email": email.strip().lower() if isinstance(email, str) else None,
                "attachment_sizes": sizes,
                "request": body,
                "response": response,
                "at": utc_now_iso(),
            }
        )
        self.store.changed()
        return json_response(response, status=201)

    async def get_ticket_answer(self, request):
        return json_response(self.store.ticket_answer)

    async def put_ticket_answer(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        answer = default_ticket_answer()
        answer.update(body)
        if set(answer) != set(default_ticket_answer()):
            return problem(422, "known keys: " + ", ".join(sorted(default_ticket_answer())))
        if not isinstance(answer["ticket_number"], (bool, str)) and answer["ticket_number"] is not None:
            return problem(422, "ticket_number must be true, false, null or a string")
        if not isinstance(answer["public_id_prefix"], str) or "/" in answer["public_id_prefix"]:
            return problem(422, "public_id_prefix must be a string without /")
        if not isinstance(answer["ticket_url"], bool):
            return problem(422, "ticket_url must be a boolean")
        self.store.ticket_answer = answer
        return json_response(answer)

    async def add_reply(self, request):
        public_id = request.match_info["public_id"]
        ticket = next((t for t in self.store.tickets if t["public_id"] == public_id), None)
        if ticket is None:
            return problem(404, "ticket not found")
        body, error = await json_object_body(request)
        if error is not None:
            return error
        email = body.get("email", ticket["customer_email"])
        if not isinstance(email, str) or not email.strip():
            return problem(422, "the ticket has no customer e-mail; give \"email\"")
        fields = {"ticket_public_id": public_id, "ticket_number": ticket["number"], "subject": ticket["subject"]}
        fields.update({k: body[k] for k in ("message_id", "message_text", "created_at", "omit") if k in body})
        item, error = self._notify(email, fields)
        if error is not None:
            return error
        return json_response(item, status=201)

    # -- customer accounts and sessions ---------------------------------

    async def add_customer(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        email, password = body.get("email"), body.get("password")
        if not isinstance(email, str) or not email.strip() or not isinstance(password, str) or not password:
            return problem(422, "email and password are required")
        ttl = body.get("session_ttl_seconds", self.store.customer_session_ttl)
        if not _is_int(ttl):
            return problem(422, "session_ttl_seconds must be an integer")
        profile = {
            "email": email.strip(),
            "full_name": body.get("full_name", "Jan Kowalski"),
            "phone": body.get("phone"),
            "organization_name": body.get("organization_name"),
            "can_view_organization_tickets": body.get("can_view_organization_tickets", False),
        }
        self.store.customers[email.strip().lower()] = {
            "password": password,
            "profile": profile,
            "session_ttl_seconds": ttl,
            "fractional_expiry": bool(body.get("fractional_expiry", False)),
        }
        return json_response({"customer": profile}, status=201)

    def _open_session(self, customer, ttl=None):
        token = "cs_" + secrets.token_urlsafe(32)
        expires = time.time() + (customer["session_ttl_seconds"] if ttl is None else ttl)
        expires_at = _expiry_text(expires, customer["fractional_expiry"])
        self.store.customer_sessions[token] = {
            "email": customer["profile"]["email"].lower(),
            "expires_at": expires_at,
            "expires_epoch": expires,
            "revoked": False,
        }
        self.store.changed()
        return {"access_token": token, "expires_at": expires_at, "customer": customer["profile"]}

    async def customer_login(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        email, password = body.get("email"), body.get("password")
        if not isinstance(email, str) or not isinstance(password, str):
            return problem(422, "email and password are required")
        customer = self.store.customers.get(email.strip().lower())
        if customer is None or not secrets.compare_digest(customer["password"].encode(), password.encode()):
            return problem(401, "invalid email or password")
        return json_response(self._open_session(customer))

    async def create_session(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        customer = self.store.customers.get(str(body.get("email", "")).strip().lower())
        if customer is None:
            return problem(404, "customer not found")
        ttl = body.get("ttl_seconds")
        if ttl is not None and not _is_int(ttl):
            return problem(422, "ttl_seconds must be an integer")
        return json_response(self._open_session(customer, ttl), status=201)

    def _sessions_of(self, body):
        email = body.get("email")
        for session in self.store.customer_sessions.values():
            if email is None or session["email"] == str(email).strip().lower():
                yield session

    async def expire_sessions(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        expired = 0
        for session in self._sessions_of(body):
            session["expires_epoch"] = time.time() - 1
            session["expires_at"] = utc_now_iso(-1)
            expired += 1
        return json_response({"expired": expired})

    async def revoke_sessions(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        revoked = 0
        for session in self._sessions_of(body):
            session["revoked"] = True
            revoked += 1
        return json_response({"revoked": revoked})

    # -- reply notifications --------------------------------------------

    def _notify(self, email, fields):
        """Store one notification for a customer's e-mail; (item, error response).

        Keys not given get plausible values; keys named in fields["omit"] are
        left out, so a test can serve an item the client must refuse."""
        message_id = fields.get("message_id", self.store.next_message_id)
        if not _is_int(message_id):
            return None, problem(422, "message_id must be an integer")
        omit = fields.get("omit", [])
        if not isinstance(omit, list) or not set(omit) <= set(NOTIFICATION_KEYS):
            return None, problem(422, "omit must list keys of " + ", ".join(NOTIFICATION_KEYS))
        self.store.next_message_id = max(self.store.next_message_id, message_id + 1)
        number = fields.get("ticket_number", "HD-%05d" % (1000 + message_id))
        item = {
            "message_id": message_id,
            "ticket_public_id": fields.get("ticket_public_id", "KOVA-%06d" % message_id),
            "ticket_number": number,
            "subject": fields.get("subject", "Zgłoszenie " + str(number)),
            "message_text": fields.get("message_text", DEFAULT_REPLY_TEXT),
            "created_at": fields.get("created_at", utc_now_iso()),
        }
        item = {k: v for k, v in item.items() if k not in omit}
        self.store.notifications.append(dict(item, email=email.strip().lower(), id=message_id))
        self.store.changed()
        return item, None

    async def add_notification(self, request):
        body, error = await json_object_body(request)
        if error is not None:
            return error
        email = body.get("email")
        if not isinstance(email, str) or email.strip().lower() not in self.store.customers:
            return problem(404, "customer not found")
        item, error = self._notify(email, body)
        if error is not None:
            return error
        return json_response(item, status=201)

    async def customer_notifications(self, request):
        token = request.headers.get("X-Customer-Session", "").strip()
        if not token:
            return problem(401, "missing customer session")
        session = self.store.customer_sessions.get(token)
        if session is None:
            return problem(401, "invalid customer session")
        if session["revoked"]:
            return problem(401, "customer session revoked")
        if session["expires_epoch"] <= time.time():
            return problem(401, "customer session expired")
        try:
            after = int(request.query.get("after_message_id", "0"))
            limit = int(request.query.get("limit", "20"))
        except ValueError:
            return problem(422, "after_message_id and limit must be integers")
        if after < 0 or not 1 <= limit <= 50:
            return problem(422, "after_message_id must be at least 0 and limit 1 to 50")
        mine = [n for n in self.store.notifications if n["email"] == session["email"] and n["id"] > after]
        mine.sort(key=lambda n: n["id"])
        page = mine[:limit]
        items = [{k: v for k, v in n.items() if k not in ("email", "id")} for n in page]
        cursor = page[-1]["id"] if page else after
        return json_response({"items": items, "cursor": cursor, "has_more": len(mine) > limit})
