"""The settings tab's save with an administrator's approval (a recording
stand-in for polkit's prompt that runs the chain as root with the system's
own tools, or refuses), and kovadesk-rustdesk links reaching a recording
stand-in of RustDesk."""
import json
import os
import pathlib
import shlex
import subprocess

import pytest

from conftest import LOG, ROOT, SETTINGS, settings_json
from desktop import PYTHON, SUPPORT, Desktop, wait_for
from sandbox import Sandbox

TITLE = "^Sekwo Tarnvik$"
POLKIT = "/tmp/kova-polkit"
SHIMS = "/Library/kova-shims"
RUSTDESK = "/Applications/RustDesk.app/Contents/MacOS/RustDesk"
RUSTDESK_CALLS = "/tmp/rustdesk-calls.jsonl"
RUSTDESK_STREAMS = "/tmp/rustdesk-streams.jsonl"
DESKTOP_ENTRY = ROOT / "resources" / "sekwo-tarnvik.desktop"

RUSTDESK_STAND_IN = f"""#!/usr/bin/python3
import json, os, sys
with open({RUSTDESK_CALLS!r}, "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
try:
    with open({RUSTDESK_STREAMS!r}, "a") as f:
        f.write(json.dumps([os.readlink(f"/proc/self/fd/{{n}}") for n in (1, 2)]) + "\\n")
except OSError:
    pass
"""


def shim(directory, name, body):
    path = directory / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


@pytest.fixture
def admin_box(tmp_path):
    """A sandbox with the prompt's stand-in over /usr/bin/pkexec and a
    recording launchctl; the rest of the chain is this system's own tools."""
    shims = tmp_path / "shims"
    shims.mkdir()
    overlays = [
        (SUPPORT / "fake_polkit.py", "/usr/bin/pkexec"),
        (shim(shims, "launchctl", f'echo "$*" >> {SHIMS}/launchctl.log\n'), "/bin/launchctl"),
    ]
    box = Sandbox(tmp_path / "sandbox", overlays=overlays).start()
    box.run(["install", "-d", "-m", "0777", SHIMS]).check_returncode()
    agent = box.popen([PYTHON, SUPPORT / "fake_polkit.py", "agent", POLKIT], stdout=subprocess.PIPE, text=True)
    assert agent.stdout.readline().strip() == "ready"
    yield box
    agent.kill()
    agent.wait()
    box.stop()


@pytest.fixture
def admin_desktop(admin_box):
    session = Desktop(admin_box, accessibility=True).start()
    yield session
    session.stop()


def requests(box):
    path = box.path(POLKIT + "/requests.jsonl")
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def leftovers(box):
    """Temporary copies left in the user's temporary directory or staged beside the settings."""
    staged = box.path(SETTINGS).parent.glob(".sekwo-settings-*")
    return sorted(p.name for p in [*box.path("/tmp").glob("sekwo-settings-*"), *staged])


def shown_texts(desktop):
    return {n["name"] for n in desktop.accessible() if n["showing"]}


def dismiss_alert(desktop, title):
    wait_for(lambda: desktop.visible_windows(f"^{title}$"), 10, f"the alert {title!r}")
    desktop.press("OK")
    wait_for(lambda: not desktop.visible_windows(f"^{title}$"), 10, "the alert to close")


def test_save_needs_the_administrators_approval(admin_box, admin_desktop, menubar_binary):
    box, desktop = admin_box, admin_desktop
    box.write(SETTINGS, settings_json(token="", auditIntervalMinutes=720, chatPollIntervalSeconds=5))
    desktop.launch([menubar_binary])  # without a token the window opens on the settings tab, token focused
    window = wait_for(lambda: desktop.visible_windows(TITLE), 20, "the status window")[0]
    desktop.x(["xdotool", "windowfocus", "--sync", str(window)])
    desktop.x(["xdotool", "type", "--delay", "20", "NEWCO"])

    # Approved: the file lands with the typed token and the fixed intervals; the daemon is restarted.
    desktop.press("Zapisz firmę/token")
    wait_for(lambda: desktop.notifications(), 20, "the saved notification")
    assert [n["body"] for n in desktop.notifications()] == ["Konfiguracja została zapisana."]
    saved = json.loads(box.read(SETTINGS))
    assert saved == {"serverBaseUrl": "https://127.0.0.1:9", "viewerToken": "NEWCO", "auditIntervalMinutes": 360,
                     "heartbeatIntervalSeconds": 300, "commandPollIntervalSeconds": 60,
                     "chatPollIntervalSeconds": 2, "controlReconnectMaxSeconds": 30, "notificationsEnabled": True}
    assert list(box.read(SETTINGS).splitlines()[1:3]) == ['  "auditIntervalMinutes": 360,',
                                                         '  "chatPollIntervalSeconds": 2,']
    # The user's file, made root's by the system's chown.
    stat = box.path(SETTINGS).stat()
    assert (stat.st_uid, stat.st_gid, stat.st_mode & 0o777) == (0, 0, 0o644)
    assert box.read(SHIMS + "/launchctl.log") == "kickstart -k system/pl.tarnvik.sekwo.daemon\n"
    (request,) = requests(box)
    assert request["uid"] == 501 and request["argv"][:2] == ["/bin/sh", "-c"]
    chown = next(tool for tool in ("/usr/bin/chown", "/bin/chown") if os.access(tool, os.X_OK))
    assert f" {chown} root:root '" in request["argv"][2]
    assert leftovers(box) == []

    # Refused: the old file stays byte for byte, the temporary file is gone, the user is told.
    kept = settings_json(token="KEPT", auditIntervalMinutes=720)
    box.write(SETTINGS, kept)
    box.write(POLKIT + "/answer", "refuse")
    desktop.press("Zapisz firmę/token")
    dismiss_alert(desktop, "Nie zapisano konfiguracji")
    assert len(requests(box)) == 2 and box.read(SETTINGS) == kept and leftovers(box) == []

    # Approved, but a step of the chain fails (the folder is read-only even
    # for root): the old file stays whole, nothing is reported as saved.
    box.write(POLKIT + "/answer", "approve")
    folder = str(pathlib.PurePosixPath(SETTINGS).parent)
    box.run(["mount", "--bind", folder, folder]).check_returncode()
    box.run(["mount", "-o", "remount,bind,ro", folder]).check_returncode()
    desktop.press("Zapisz firmę/token")
    wait_for(lambda: desktop.visible_windows("^Nie zapisano konfiguracji$"), 20, "the failure alert")
    assert "Administrator nie zatwierdzil zapisu konfiguracji." in shown_texts(desktop)
    dismiss_alert(desktop, "Nie zapisano konfiguracji")
    assert len(requests(box)) == 3 and box.read(SETTINGS) == kept
    assert len(desktop.notifications()) == 1
    assert box.read(SHIMS + "/launchctl.log").count("kickstart") == 1
    assert leftovers(box) == []


def entry_command(binary, link):
    """The desktop entry's Exec line for this link, run from the build."""
    lines = DESKTOP_ENTRY.read_text().splitlines()
    assert "MimeType=x-scheme-handler/kovadesk-rustdesk;" in lines
    exec_line = next(line for line in lines if line.startswith("Exec="))
    argv = shlex.split(exec_line[len("Exec="):])
    return [binary] + [link if a == "%u" else a for a in argv[1:]]


def rustdesk_calls(box):
    path = box.path(RUSTDESK_CALLS)
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def test_links_reach_rustdesk_and_the_endpoint_is_started(sandbox, desktop, menubar_binary):
    sandbox.write(SETTINGS, settings_json())
    sandbox.write(RUSTDESK, RUSTDESK_STAND_IN)
    sandbox.path(RUSTDESK).chmod(0o755)
    for path in (RUSTDESK_CALLS, RUSTDESK_STREAMS):
        sandbox.write(path, "")
        sandbox.path(path).chmod(0o666)
    sandbox.write(LOG, "")
    sandbox.path(LOG).chmod(0o666)  # the user's lines reach the shared log

    # At launch no RustDesk runs: the background endpoint is started.
    app = desktop.launch([menubar_binary, "--menubar"])
    wait_for(lambda: rustdesk_calls(sandbox), 20, "the background start")
    assert rustdesk_calls(sandbox) == [["--server"]]
    wait_for(lambda: "RustDesk background endpoint started." in sandbox.read(LOG), 10, "its log line")

    # A link given to a second instance reaches the running one.
    link = ("KOVADESK-RUSTDESK://connect?id=abc-123&server=rd.example.org:21116&relay=relay.example.org"
            "&key=pub%2Bkey%3D&consultant_name=Anna%20Nowak")
    second = desktop.run(entry_command(menubar_binary, link))
    assert second.returncode == 0
    wait_for(lambda: len(rustdesk_calls(sandbox)) == 3, 20, "the connection")
    assert rustdesk_calls(sandbox)[1:] == [
        ["--option", "display-name", "Anna Nowak"],
        ["--server", "rd.example.org:21116", "--relay", "relay.example.org", "--key", "pub+key=", "abc-123"]]
    # RustDesk writes to the null device, never to a pipe that could close under it.
    streams = [json.loads(line) for line in sandbox.read(RUSTDESK_STREAMS).splitlines()]
    assert streams == [["/dev/null", "/dev/null"]] * 3
    wait_for(lambda: "RustDesk connection launched for remote ID abc-123." in sandbox.read(LOG), 10, "the log")
    assert app.poll() is None

    # An invalid link starts nothing: an ERROR line and the alert.
    r = desktop.run(entry_command(menubar_binary, "kovadesk-rustdesk://connect?id=abc-123&server=a/b&relay=r"))
    assert r.returncode == 0
    wait_for(lambda: desktop.visible_windows("^Nie uruchomiono RustDesk$"), 20, "the alert")
    assert "Link zawiera nieprawidłowy adres serwera RustDesk." in shown_texts(desktop)
    assert "ERROR" in next(line for line in sandbox.read(LOG).splitlines()
                           if "RustDesk protocol launch failed: Link zawiera" in line)
    assert len(rustdesk_calls(sandbox)) == 3
