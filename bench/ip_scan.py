#!/usr/bin/env /usr/bin/python3
"""A /24 sweep ("ip_scan" with its defaults) against fping on the same network
in the same run: a private network namespace holding 198.51.100.1/24 on a
bridge, with 127 peers answering ping (every even address) and the odd ones
unused. Prints the median of each, the sweep's own duration_ms and the ratio.

usage: bench/ip_scan.py [BUILD_DIR] [REPETITIONS]
"""
import json
import pathlib
import statistics
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from netns import Peer, PrivateNetwork, scan_tool_shims  # noqa: E402
from sandbox import Sandbox  # noqa: E402

build = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else ROOT / "build" / "release"
repetitions = int(sys.argv[2]) if len(sys.argv) > 2 else 5
sweep = build / "bench" / "ip_scan_sweep"
FPING = ["fping", "-a", "-q", "-r", "0", "-t", "350", "-i", "1", "-g", "198.51.100.0/24"]


def timed(box, argv):
    start = time.monotonic()
    result = box.run(argv, timeout=120)
    return time.monotonic() - start, result


with PrivateNetwork() as net, tempfile.TemporaryDirectory(dir=build) as work:
    work = pathlib.Path(work)
    peers = [Peer([f"198.51.100.{i}/24"]) for i in range(2, 255, 2)]
    net.add_lan("lan0", "198.51.100.1/24", peers)
    net.check()
    with net.entered():
        box = Sandbox(work / "sb", overlays=scan_tool_shims(work / "shims", {})).start()
        try:
            assert net.owns(box.proc.pid)
            timed(box, FPING)  # fills the neighbour table for both alike
            sweeps, fpings, durations = [], [], []
            for _ in range(repetitions):
                seconds, result = timed(box, [sweep])
                assert result.returncode == 0, result.stderr
                report = json.loads(result.stdout)
                assert report["host_count"] == len(peers) + 1, report["host_count"]
                sweeps.append(seconds)
                durations.append(report["duration_ms"])
                seconds, result = timed(box, FPING)
                assert len(result.stdout.split()) == len(peers) + 1, result.stdout
                fpings.append(seconds)
        finally:
            box.stop()

sweep_s, fping_s = statistics.median(sweeps), statistics.median(fpings)
print(f"/24 sweep, {len(peers) + 1} of 254 answering, median of {repetitions}:")
print(f"  ip_scan sweep  {sweep_s * 1000:7.0f} ms  (its duration_ms {statistics.median(durations):.0f})")
print(f"  fping          {fping_s * 1000:7.0f} ms  ({' '.join(FPING)})")
print(f"  ratio          {sweep_s / fping_s:7.2f}  (goal <= 1.2)")
