"""Stalling the public listener, for clients' own connect time-outs.

While stalled the listening socket stays open, so the kernel still completes
TCP handshakes, but nothing accepts the connections: a client's TLS handshake
gets no answer until its own time-out fires (curl's --connect-timeout, for
instance). Existing connections are not touched.

The aiohttp site listens on a duplicate of the public socket; stalling closes
only that duplicate, resuming listens on a fresh one.
"""

import asyncio

from aiohttp import web


class ListenerStall:
    def __init__(self, sock, ssl_context):
        self.sock = sock
        self.ssl_context = ssl_context
        self.site = None
        self.runner = None
        self.stalled = False

    def site_for(self, runner, shutdown_timeout):
        """The site to start for the public app, listening on a duplicate socket."""
        self.runner = runner
        self.site = web.SockSite(runner, self.sock.dup(), ssl_context=self.ssl_context,
                                 shutdown_timeout=shutdown_timeout)
        return self.site

    async def stall(self):
        if self.stalled or self.site is None:
            return
        self.stalled = True
        # aiohttp keeps the asyncio server of a started site in _server.
        self.site._server.close()

    async def resume(self):
        if not self.stalled:
            return
        loop = asyncio.get_running_loop()
        self.site._server = await loop.create_server(self.runner.server, sock=self.sock.dup(),
                                                     ssl=self.ssl_context, backlog=128)
        self.stalled = False

    def routes(self):
        return [
            web.get("/admin/listener", self.get_state),
            web.put("/admin/listener", self.put_state),
        ]

    async def get_state(self, request):
        return web.json_response({"stalled": self.stalled})

    async def put_state(self, request):
        try:
            body = await request.json()
        except ValueError:
            return web.json_response({"detail": "body is not JSON"}, status=400)
        stalled = body.get("stalled") if isinstance(body, dict) else None
        if not isinstance(stalled, bool):
            return web.json_response({"detail": "stalled must be true or false"}, status=422)
        await (self.stall() if stalled else self.resume())
        return web.json_response({"stalled": self.stalled})
