"""The menu bar application on a desktop in the sandbox (Xvfb, trayer):
time from start to the tray icon embedded, and resident memory idle in the
tray with its window closed (and, for comparison, with the window shown).

usage: bench/menubar.py BUILD_DIR [RUNS]
"""
import json
import pathlib
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from desktop import Desktop, wait_for  # noqa: E402
from sandbox import Sandbox  # noqa: E402

SETTINGS = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"


def embedded_children(desktop, host):
    # One xwininfo per poll: the icon is embedded once the host has a window inside its socket.
    out = desktop.box.run(["xwininfo", "-tree", "-id", str(host)], env=desktop.x_env()).stdout
    return "Sekwo Tarnvik" in out


def memory_kb(pid):
    """Resident and private (not shared with other processes) memory; the
    sandbox shares the host's process namespace."""
    fields = {}
    for line in pathlib.Path(f"/proc/{pid}/smaps_rollup").read_text().splitlines()[1:]:
        name, value = line.split(":", 1)
        fields[name] = int(value.split()[0])
    return fields["Rss"], fields["Private_Clean"] + fields["Private_Dirty"]


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    binary = build / "src" / "menubar" / "Sekwo Tarnvik"
    box = Sandbox(build / "bench-menubar").start()
    desktop = None
    try:
        box.write(SETTINGS, json.dumps({"serverBaseUrl": "https://127.0.0.1:9", "viewerToken": "BENCH"}))
        desktop = Desktop(box).start()
        host = desktop.tray_host()
        starts, idle = [], []
        for run in range(runs):
            began = time.monotonic()
            app = desktop.launch([binary, "--menubar"])
            wait_for(lambda: app.poll() is not None or embedded_children(desktop, host), 20, "the icon",
                     interval=0.005)
            starts.append(time.monotonic() - began)
            time.sleep(5)  # every timer has run once; the application idles
            idle.append(memory_kb(app.pid))
            last = app
            if run < runs - 1:
                app.kill()
                app.wait()
                wait_for(lambda: not embedded_children(desktop, host), 10, "the icon to go")
        desktop.run([binary])  # wakes the running instance: its status window shows
        wait_for(lambda: desktop.visible_windows("^Sekwo Tarnvik$"), 10, "the status window")
        time.sleep(3)
        shown = memory_kb(last.pid)
    finally:
        if desktop:
            desktop.stop()
        box.stop()

    print(f"{'benchmark':58} {'median':>9} {'min':>9} {'max':>9}  goal")
    print(f"{'start to tray icon embedded (s), ' + str(runs) + ' runs':58} {statistics.median(starts):9.3f} "
          f"{min(starts):9.3f} {max(starts):9.3f}  <= 0.3")
    rss = [r for r, _ in idle]
    private = [p for _, p in idle]
    print(f"{'resident memory idle in the tray, window closed (MB)':58} {statistics.median(rss) / 1024:9.1f} "
          f"{min(rss) / 1024:9.1f} {max(rss) / 1024:9.1f}  <= 40")
    print(f"{'  of which private to the process (MB)':58} {statistics.median(private) / 1024:9.1f} "
          f"{min(private) / 1024:9.1f} {max(private) / 1024:9.1f}")
    print(f"{'resident memory with the status window shown (MB)':58} {shown[0] / 1024:9.1f}")


if __name__ == "__main__":
    main()
