"""The Mac's packaging, as far as this machine can check it: the launchd job
files and the bundle's Info.plist agree with the paths, labels, version and
receipt the daemon's updater and uninstaller use; `cmake --install` lays down
exactly the payload the README lists, with the package's modes; the
package's preinstall and postinstall pass shellcheck and, run in the sandbox
against launchctl stand-ins, start the daemon and the logged-in user's menu
bar app, and nothing for the login window."""
import json
import os
import pathlib
import plistlib
import re
import struct
import subprocess

import pytest

from conftest import BUILD_DIR
from sandbox import ROOT, Sandbox
from support.payload import (AGENT, AGENT_PLIST, APP, APP_BINARY, DAEMON_PLIST, INSTALL_DIR, copy_payload, listing,
                             staged_payload)

RESOURCES = ROOT / "resources"
PACKAGING = ROOT / "packaging" / "macos"
SHIM = pathlib.Path(__file__).parent / "macos_shims" / "macos_tool.py"


def version_of(program):
    return subprocess.run([str(program), "--version"], capture_output=True, text=True, check=True).stdout.strip()


def load_plist(path):
    return plistlib.loads(pathlib.Path(path).read_bytes())


def test_job_files_and_info_plist_agree_with_the_product(agent_binary, menubar_binary):
    version = version_of(agent_binary)
    assert version_of(menubar_binary) == version

    assert load_plist(RESOURCES / "pl.tarnvik.sekwo.daemon.plist") == {
        "Label": "pl.tarnvik.sekwo.daemon", "ProgramArguments": [AGENT], "UserName": "root",
        "RunAtLoad": True, "KeepAlive": True}
    agent = load_plist(RESOURCES / "pl.tarnvik.sekwo.menubar.plist")
    assert agent["Label"] == "pl.tarnvik.sekwo.menubar" and agent["LimitLoadToSessionType"] == "Aqua"
    # Without the flag the program, inside its bundle, would relaunch itself
    # through "open" and end the job at once; a clean quit is not restarted.
    assert agent["ProgramArguments"] == [APP_BINARY, "--launched-by-open", "--menubar"]
    assert agent["RunAtLoad"] is True and agent["KeepAlive"] == {"SuccessfulExit": False}

    info = load_plist(BUILD_DIR / "src" / "menubar" / "Info.plist")
    assert info["CFBundleExecutable"] == pathlib.PurePath(APP_BINARY).name
    assert APP.endswith(".app") and info["CFBundleIconFile"] == "AppIcon"
    assert info["CFBundleShortVersionString"] == info["CFBundleVersion"] == version
    assert info["CFBundleURLTypes"][0]["CFBundleURLSchemes"] == ["kovadesk-rustdesk"]
    assert info["LSMinimumSystemVersion"] == "12.0" and info["LSUIElement"] is True

    described = subprocess.run([str(PACKAGING / "build-pkg"), "--describe"], capture_output=True, text=True,
                               check=True).stdout
    assert dict(line.split("=", 1) for line in described.splitlines()) == {
        "identifier": "pl.tarnvik.sekwo", "version": version, "file": f"Sekwo-Tarnvik-macOS-{version}.pkg"}

    # The daemon's updater and uninstaller name the same files, jobs and receipt.
    program = pathlib.Path(agent_binary).read_bytes()
    for text in (APP, "Contents/MacOS/Sekwo Tarnvik", "CFBundleShortVersionString", INSTALL_DIR, DAEMON_PLIST,
                 AGENT_PLIST, "system/pl.tarnvik.sekwo.daemon", "/pl.tarnvik.sekwo.menubar",
                 "/Sekwo-Tarnvik-macOS-", "--forget pl.tarnvik.sekwo"):
        assert text.encode() in program, text


def readme_payload():
    """The README's payload table: {path: mode}; a path ending in "/**"
    stands for every file below that folder."""
    rows = re.findall(r"^\| `((?:Applications|Library)/[^`]*)` \| (\d{3}) \|", (ROOT / "README.md").read_text(),
                      re.MULTILINE)
    assert rows, "no payload table in the README"
    return {path: int(mode, 8) for path, mode in rows}


def test_install_root_holds_exactly_the_readme_payload(tmp_path, agent_binary):
    root = staged_payload(BUILD_DIR)
    found = listing(root)
    expected = readme_payload()
    trees = {path[:-2]: mode for path, mode in expected.items() if path.endswith("/**")}

    unlisted = {}
    for path, mode in found.items():
        tree = next((t for t in trees if path.startswith(t)), None)
        if path in expected:
            assert mode == expected[path], path
        elif tree is not None:
            assert mode == (0o755 if path.endswith("/") else trees[tree]), path
        elif path.endswith("/"):
            assert mode == 0o755, path
        else:
            unlisted[path] = oct(mode)
    assert unlisted == {}
    assert [p for p in expected if p not in found and not p.endswith("/**")] == []
    tinymce = next(iter(trees))
    assert {tinymce + "tinymce.min.js", tinymce + "langs/pl.js"} <= found.keys()

    for plist in (DAEMON_PLIST, AGENT_PLIST):
        assert (root / plist.lstrip("/")).read_bytes() == (RESOURCES / pathlib.PurePath(plist).name).read_bytes()
    version = version_of(agent_binary)
    assert version_of(root / AGENT.lstrip("/")) == version
    assert load_plist(root / APP.lstrip("/") / "Contents/Info.plist")["CFBundleShortVersionString"] == version
    resources = root / APP.lstrip("/") / "Contents/Resources"
    assert (resources / "AppIcon.icns").read_bytes()[:4] == b"icns"
    png = (resources / "AppIcon.png").read_bytes()
    assert png[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", png[16:24]) == (512, 512)
    entry = (RESOURCES / "sekwo-tarnvik.desktop").read_text().splitlines()
    icon = next(line[len("Icon="):] for line in entry if line.startswith("Icon="))
    assert (root / icon.lstrip("/")).is_file(), icon


def test_installer_scripts_pass_the_shell_checks():
    scripts = [str(PACKAGING / name) for name in ("preinstall", "postinstall", "build-pkg")]
    for script in scripts:
        subprocess.run(["bash", "-n", script], check=True)
    subprocess.run(["shellcheck", *scripts], check=True)


# Who owns the console: a logged-in user, root while the login window shows,
# and the login window's own name.
@pytest.mark.parametrize("console_user, uid", [("anna", 501), ("root", None), ("loginwindow", None)])
def test_installer_scripts_start_the_logged_in_users_jobs(tmp_path, console_user, uid):
    passwd = tmp_path / "passwd"
    passwd.write_text(pathlib.Path("/etc/passwd").read_text() +
                      "anna:x:501:20::/Users/anna:/bin/zsh\nloginwindow:x:502:20::/var/empty:/usr/bin/false\n")
    group = tmp_path / "group"
    group.write_text(pathlib.Path("/etc/group").read_text() + "wheel:x:0:root\n")
    overlays = [(SHIM, "/usr/bin/launchctl"), (SHIM, "/usr/bin/stat"), (passwd, "/etc/passwd"),
                (group, "/etc/group")]
    box = Sandbox(tmp_path / "sandbox", overlays=overlays).start()
    try:
        copy_payload(staged_payload(BUILD_DIR), box.path("/"))
        for plist in (DAEMON_PLIST, AGENT_PLIST):  # as a careless copy would leave them
            os.chown(box.path(plist), 501, 20)
            box.path(plist).chmod(0o600)
        owner = {"anna": 501, "root": 0, "loginwindow": 502}[console_user]
        box.write("/tmp/console", "")
        os.chown(box.path("/tmp/console"), owner, 0)
        assert box.run(["mount", "--bind", "/tmp/console", "/dev/console"]).returncode == 0

        for script in ("preinstall", "postinstall"):
            run = box.run(["/bin/bash", str(PACKAGING / script), "/tmp/Sekwo-Tarnvik.pkg", "/", "/"])
            assert run.returncode == 0, run.stderr

        calls = [json.loads(line) for line in box.read("/tmp/kova-shims/calls").splitlines()]
        launchctl = [call[1:] for call in calls if call[0] == "launchctl"]
        expected = [["bootout", "system/pl.tarnvik.sekwo.daemon"]]
        if uid:
            expected.append(["bootout", f"gui/{uid}/pl.tarnvik.sekwo.menubar"])
        expected += [["bootout", "system", DAEMON_PLIST], ["bootstrap", "system", DAEMON_PLIST]]
        if uid:
            expected += [["bootout", f"gui/{uid}", AGENT_PLIST], ["bootstrap", f"gui/{uid}", AGENT_PLIST]]
        assert launchctl == expected
        for plist in (DAEMON_PLIST, AGENT_PLIST):
            info = box.path(plist).stat()
            assert (info.st_uid, info.st_gid, info.st_mode & 0o777) == (0, 0, 0o644), plist
    finally:
        box.stop()
