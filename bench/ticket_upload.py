#!/usr/bin/env /usr/bin/python3
"""One ticket with N attachments of S MiB each, filed through the product's
client against the stand-in over TLS: wall time and the client's peak
resident memory (attachments travel as Base64 inside one JSON body).

usage: bench/ticket_upload.py [BUILD_DIR] [N] [S]
"""
import json
import os
import pathlib
import resource
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
from sandbox import Sandbox  # noqa: E402
from standin_client import HelpdeskStandIn  # noqa: E402

build = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / "build" / "release"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
mib = int(sys.argv[3]) if len(sys.argv) > 3 else 15
probe = build / "tools" / "api-probe" / "kova-api-probe"
settings_path = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"

with HelpdeskStandIn() as server, tempfile.TemporaryDirectory(dir=build) as work:
    work = pathlib.Path(work)
    bundle = work / "ca.crt"
    bundle.write_text(pathlib.Path("/etc/ssl/certs/ca-certificates.crt").read_text() + "\n" +
                      pathlib.Path(server.ca).read_text())
    box = Sandbox(work / "sb", overlays=[(bundle, "/etc/ssl/certs/ca-certificates.crt")]).start()
    try:
        box.write(settings_path, json.dumps({
            "serverBaseUrl": server.url, "viewerToken": "BENCH", "auditIntervalMinutes": 360,
            "heartbeatIntervalSeconds": 300, "commandPollIntervalSeconds": 60,
            "chatPollIntervalSeconds": 2, "controlReconnectMaxSeconds": 30}))
        box.run([probe, "register", json.dumps({"device_uid": "bench-mac"})], cwd="/")
        attachments = []
        for i in range(count):
            inside = f"/tmp/attachment-{i}.bin"
            box.write(inside, "")
            box.path(inside).write_bytes(os.urandom(mib * 1024 * 1024))
            attachments.append({"filename": f"a{i}.bin", "content_type": "application/octet-stream", "path": inside})
        draft = {"subject": "bench", "customer_email": "bench@example.com", "attachments": attachments}
        start = time.monotonic()
        out = box.run([probe, "ticket", json.dumps(draft)], cwd="/", timeout=600)
        elapsed = time.monotonic() - start
        if out.returncode != 0:
            sys.exit(f"ticket: {out.stdout} {out.stderr}")
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        body = server.list("requests", path="/api/agent/tickets")[-1]["body_size"]
        print(f"{count} x {mib} MiB  body {body / 2**20:7.1f} MiB  {elapsed:6.2f} s  "
              f"client peak RSS {peak_kib / 1024:7.1f} MiB")
    finally:
        box.stop()
