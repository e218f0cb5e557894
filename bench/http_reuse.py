#!/usr/bin/env /usr/bin/python3
"""200 sequential heartbeats to the stand-in over TLS: one pooled client
versus a new client (and connection) per request. Prints both and the ratio.

usage: bench/http_reuse.py [BUILD_DIR] [N]
"""
import json
import pathlib
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
from sandbox import Sandbox  # noqa: E402
from standin_client import HelpdeskStandIn  # noqa: E402

build = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / "build" / "release"
count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
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
        results = {}
        for mode in ("pooled", "fresh"):
            args = [probe, "heartbeat-loop", str(count), json.dumps({"device_uid": "bench-mac"})]
            if mode == "fresh":
                args.append("--fresh")
            out = box.run(args, cwd="/", timeout=600)
            if out.returncode != 0:
                sys.exit(f"{mode}: {out.stdout} {out.stderr}")
            results[mode] = json.loads(out.stdout)
        for mode, r in results.items():
            print(f"{mode:7} {r['requests']} requests  {r['total_ms']:9.1f} ms  {r['per_request_ms']:6.2f} ms/request")
        print(f"ratio fresh/pooled: {results['fresh']['total_ms'] / results['pooled']['total_ms']:.2f}x")
    finally:
        box.stop()
