"""The ticket editor's cost on a desktop in the sandbox (Xvfb, trayer,
AT-SPI): resident memory of the tray application before the ticket tab is
first opened, with the editor ready, after the tab is left and after the
window is closed (the editor's page is then released), each with the web
engine's processes apart; and the time from the click on the ticket tab to
the editor ready. Run once as built and once with Chromium's --no-zygote.

usage: bench/ticket_editor.py BUILD_DIR [RUNS]
"""
import json
import pathlib
import re
import statistics
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from desktop import PYTHON, SUPPORT, Desktop, wait_for  # noqa: E402
from sandbox import Sandbox  # noqa: E402

SETTINGS = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"
LOG = "/Library/Logs/Sekwo Tarnvik/sekwo.log"
TITLE = "^Sekwo Tarnvik$"
READY = re.compile(r"Ticket editor ready in (\d+) ms")


def rss_kb(pid):
    try:
        for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    except OSError:
        pass
    return 0


def descendants(pid):
    children = {}
    for stat in pathlib.Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat.read_text()
        except OSError:
            continue
        ppid = int(text.rsplit(")", 1)[1].split()[1])
        children.setdefault(ppid, []).append(int(stat.parent.name))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), []):
            found.append(child)
            todo.append(child)
    return found


def sample(pid):
    """(application MB, web engine processes MB, number of those processes)."""
    others = descendants(pid)
    return rss_kb(pid) / 1024, sum(rss_kb(p) for p in others) / 1024, len(others)


def one_run(box, desktop, binary, env):
    box.write(LOG, "")
    app = desktop.launch([binary, "--menubar"], **env)
    wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
    time.sleep(4)
    tray = sample(app.pid)
    desktop.run([binary])  # wakes the running instance: its status window shows
    wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window")
    time.sleep(2)
    window_shown = sample(app.pid)
    clicked = time.monotonic()
    desktop.press("Nowe zgłoszenie")
    found = wait_for(lambda: READY.search(box.read(LOG)), 60, "the editor")
    seen = time.monotonic() - clicked
    time.sleep(3)
    opened = sample(app.pid)
    desktop.press("Status")
    time.sleep(3)
    left = sample(app.pid)
    window = desktop.visible_windows(TITLE)[0]
    desktop.x([PYTHON, str(SUPPORT / "x_close.py"), str(window)])
    wait_for(lambda: not desktop.visible_windows(TITLE), 10, "the window to close")
    time.sleep(5)
    closed = sample(app.pid)
    app.kill()
    app.wait()
    wait_for(lambda: not desktop.tray_icons(), 10, "the icon to go")
    return {"tray": tray, "window": window_shown, "opened": opened, "left": left, "closed": closed,
            "ready_ms": int(found.group(1)), "seen_s": seen}


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    binary = build / "src" / "menubar" / "Sekwo Tarnvik"
    box = Sandbox(build / "bench-ticket-editor").start()
    desktop = None
    results = {}
    try:
        box.write(SETTINGS, json.dumps({"serverBaseUrl": "https://127.0.0.1:9", "viewerToken": "BENCH"}))
        box.write(LOG, "")
        box.path(LOG).chmod(0o666)
        desktop = Desktop(box, accessibility=True).start()
        configurations = {
            "as built": {},
            # --no-zygote is only valid without Chromium's sandbox.
            "--no-zygote": {"QTWEBENGINE_CHROMIUM_FLAGS": "--no-zygote --no-sandbox"},
        }
        for name, env in configurations.items():
            results[name] = [one_run(box, desktop, binary, env) for _ in range(runs)]
    finally:
        if desktop:
            desktop.stop()
        box.stop()

    def median(values):
        return statistics.median(values)

    print(f"{'benchmark (' + str(runs) + ' runs, medians)':60} {'app MB':>8} {'engine MB':>10} {'procs':>6}")
    for name, rows in results.items():
        print(f"-- {name}")
        for key, title in (("tray", "idle in the tray, before the ticket tab"),
                           ("window", "status window shown, before the ticket tab"),
                           ("opened", "ticket tab open, editor ready"),
                           ("left", "ticket tab left (status tab)"),
                           ("closed", "window closed (editor released)")):
            app = median([r[key][0] for r in rows])
            engine = median([r[key][1] for r in rows])
            procs = median([r[key][2] for r in rows])
            print(f"{'  ' + title:60} {app:8.1f} {engine:10.1f} {procs:6.0f}")
        ready = [r["ready_ms"] for r in rows]
        seen = [r["seen_s"] * 1000 for r in rows]
        print(f"{'  click on the ticket tab to editor ready, in-process (ms)':60} {median(ready):8.0f} "
              f"(min {min(ready)}, max {max(ready)})")
        print(f"{'  the same as the bench sees it, AT-SPI press included (ms)':60} {median(seen):8.0f}")


if __name__ == "__main__":
    main()
