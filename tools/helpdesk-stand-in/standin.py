#!/usr/bin/python3
"""Helpdesk server stand-in for end-to-end tests and the demo.

Serves the agent API, the control and signalling WebSockets over HTTPS on
127.0.0.1, and an admin API over plain HTTP on a second loopback port.
Prints one JSON line {"url", "ca", "admin_url"} once both are listening.
"""

import argparse
import asyncio
import json
import logging
import os
import shutil
import signal
import socket
import ssl
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from aiohttp import web  # noqa: E402

from admin import AdminApi  # noqa: E402
from api import AgentApi  # noqa: E402
from certs import prepare_certificates  # noqa: E402
from faults import Faults, make_middleware  # noqa: E402
from listener import ListenerStall  # noqa: E402
from store import Store  # noqa: E402
from tickets import TicketDesk  # noqa: E402
from ws import ControlHub, SignalingHub  # noqa: E402

HOST = "127.0.0.1"
MAX_BODY_BYTES = 256 * 1024 * 1024


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Helpdesk server stand-in (HTTPS + WSS on 127.0.0.1).")
    parser.add_argument("--port", type=int, default=0, help="HTTPS port (0: chosen by the system)")
    parser.add_argument("--admin-port", type=int, default=0, help="admin HTTP port (0: chosen by the system)")
    parser.add_argument("--cert-dir", help="directory for the CA and server certificate (default: a temp dir)")
    parser.add_argument(
        "--untrusted",
        action="store_true",
        help="sign the server certificate with a CA other than the one reported as \"ca\"",
    )
    parser.add_argument(
        "--viewer-token",
        action="append",
        default=[],
        metavar="TOKEN",
        help="a valid viewer token (repeatable); without any, every non-empty viewer token is accepted",
    )
    return parser.parse_args(argv)


def listening_socket(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((HOST, port))
    sock.listen(128)
    return sock


def quiet_exception_handler(loop, context):
    # Clients that refuse our certificate or vanish mid-handshake are expected here.
    error = context.get("exception")
    if isinstance(error, (ssl.SSLError, ConnectionError, BrokenPipeError)):
        return
    loop.default_exception_handler(context)


async def serve(args, cert_dir):
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(quiet_exception_handler)
    ca_path, ssl_context = prepare_certificates(cert_dir, untrusted=args.untrusted)

    public_sock = listening_socket(args.port)
    admin_sock = listening_socket(args.admin_port)
    base_url = "https://%s:%d" % (HOST, public_sock.getsockname()[1])
    admin_url = "http://%s:%d" % (HOST, admin_sock.getsockname()[1])

    store = Store(args.viewer_token)
    faults = Faults()
    control = ControlHub(store)
    signaling = SignalingHub(store)
    desk = TicketDesk(store, base_url)

    public_app = web.Application(middlewares=[make_middleware(store, faults)], client_max_size=MAX_BODY_BYTES)
    public_app.add_routes(AgentApi(store, base_url).routes())
    public_app.add_routes(desk.public_routes())
    public_app.add_routes(
        [
            web.get("/api/agent/control", control.handle),
            web.get("/api/agent/remote/sessions/{public_id}/signaling", signaling.handle),
        ]
    )

    async def close_sockets(_app):
        await control.close_all()
        await signaling.close_all()

    public_app.on_shutdown.append(close_sockets)

    admin_app = web.Application(client_max_size=MAX_BODY_BYTES)
    admin_app.add_routes(AdminApi(store, faults, control, signaling, base_url).routes())
    admin_app.add_routes(desk.admin_routes())
    stall = ListenerStall(public_sock, ssl_context)
    admin_app.add_routes(stall.routes())

    runners = []
    for app, sock, context in ((public_app, public_sock, ssl_context), (admin_app, admin_sock, None)):
        runner = web.AppRunner(app, access_log=None)
        await runner.setup()
        if sock is public_sock:
            site = stall.site_for(runner, shutdown_timeout=1.0)
        else:
            site = web.SockSite(runner, sock, ssl_context=context, shutdown_timeout=1.0)
        await site.start()
        runners.append(runner)

    stop = asyncio.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)

    sys.stdout.write(json.dumps({"url": base_url, "ca": ca_path, "admin_url": admin_url}) + "\n")
    sys.stdout.flush()
    try:
        await stop.wait()
    finally:
        for runner in reversed(runners):
            await runner.cleanup()


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING, format="standin %(levelname)s %(message)s")
    own_dir = args.cert_dir is None
    cert_dir = tempfile.mkdtemp(prefix="helpdesk-standin-") if own_dir else os.path.abspath(args.cert_dir)
    try:
        asyncio.run(serve(args, cert_dir))
    finally:
        if own_dir:
            shutil.rmtree(cert_dir, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
