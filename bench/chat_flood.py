"""The menu bar's chat timer against a flooded chat directory, on a desktop in
the sandbox: files the daemon's user (root) wrote, so every one of them is a
message to show. Per flood: the longest wait of a request to show the status
window over the first passes (twenty requests 0.3 s apart, as a second start
sends them; the main thread answers), the time until the directory is
drained, and the memory afterwards.

usage: bench/chat_flood.py BUILD_DIR
"""
import json
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
sys.path.insert(0, str(ROOT / "bench"))
from desktop import PYTHON, RUNTIME, Desktop, wait_for  # noqa: E402
from menubar import SETTINGS, memory_kb  # noqa: E402
from sandbox import Sandbox  # noqa: E402

CHAT_DIR = "/Users/Shared/Sekwo Tarnvik/remote-chat"
TITLE = "^Sekwo Tarnvik$"
# The largest text a message file may hold (files are read up to 1 MiB).
LONG_TEXT = "x" * (1024 * 1024 - 400)


WAKE_SOCKET = "pl.tarnvik.sekwo.show-running-application"
PROBE = """
import socket, sys, time
longest = 0.0
for _ in range(20):
    with socket.socket(socket.AF_UNIX) as connection:
        connection.connect(sys.argv[1])
        asked = time.monotonic()
        connection.sendall(b"show\\n")
        connection.recv(1)
        longest = max(longest, time.monotonic() - asked)
    time.sleep(0.3)
print(longest)
"""


def plant(box, files):
    """(conversation, text) pairs as incoming files, in order."""
    directory = box.path(CHAT_DIR)
    stamp = int(time.time() * 1000)
    for number, (conversation, text) in enumerate(files):
        message_id = f"{number:032X}"
        body = {"id": message_id, "publicId": conversation, "direction": "incoming", "sender": "Konsultant",
                "text": text, "createdAt": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
        name = f"{conversation}.{stamp + number}.{message_id}.incoming.json"
        temporary = directory / f".{name}.tmp"
        temporary.write_text(json.dumps(body))
        temporary.rename(directory / name)


def measure(desktop, binary, files):
    app = desktop.launch([binary, "--menubar"])
    wait_for(lambda: app.poll() is not None or desktop.tray_icons(), 20, "the tray icon")
    time.sleep(2)
    plant(desktop.box, files)
    began = time.monotonic()
    # Requests to show the status window over the wake socket, as a second
    # start sends them: the running instance answers (closes the connection)
    # once its main thread is free.
    answered = float(desktop.run([PYTHON, "-c", PROBE, f"{RUNTIME}/{WAKE_SOCKET}"], timeout=900).stdout)
    wait_for(lambda: not any(desktop.box.path(CHAT_DIR).glob("*.incoming.json")), 900, "the drained directory",
             interval=0.1)
    drained = time.monotonic() - began
    time.sleep(3)
    rss, private = memory_kb(app.pid)
    windows = len(desktop.visible_windows("^Sekwo Tarnvik - Czat$"))
    app.kill()
    app.wait()
    wait_for(lambda: not desktop.tray_icons(), 10, "the icon to go")
    return answered, drained, rss, private, windows


def main():
    build = pathlib.Path(sys.argv[1]).resolve()
    binary = build / "src" / "menubar" / "Sekwo Tarnvik"
    floods = [
        ("3 files of 1 MiB text without a line break", [(f"long{n}", LONG_TEXT) for n in range(3)]),
        ("2000 files of 2000 conversations", [(f"c{n:04d}", "Dzien dobry") for n in range(2000)]),
        ("10 files of 1 MiB text to one conversation", [("one", LONG_TEXT)] * 10),
    ]
    box = Sandbox(build / "bench-chat-flood").start()
    desktop = None
    rows = []
    try:
        box.write(SETTINGS, json.dumps({"serverBaseUrl": "https://127.0.0.1:9", "viewerToken": "BENCH"}))
        box.run(["install", "-d", "-m", "0755", CHAT_DIR.rsplit("/", 1)[0]]).check_returncode()
        box.run(["install", "-d", "-m", "0777", CHAT_DIR]).check_returncode()
        desktop = Desktop(box).start()
        for name, files in floods:
            rows.append((name, *measure(desktop, binary, files)))
    finally:
        if desktop:
            desktop.stop()
        box.stop()

    print(f"{'flood':46} {'answer (s)':>10} {'drained (s)':>11} {'RSS (MB)':>9} {'private':>8} {'windows':>8}")
    for name, answered, drained, rss, private, windows in rows:
        print(f"{name:46} {answered:10.2f} {drained:11.1f} {rss / 1024:9.1f} {private / 1024:8.1f} {windows:8d}")


if __name__ == "__main__":
    main()
