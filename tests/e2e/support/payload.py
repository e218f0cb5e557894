"""The product's payload as the installer package lays it down, made from a
build with `cmake --install`: the bundle in /Applications, the daemon in its
install folder and both launchd job files. It goes into a staging folder, or
into a sandbox's root through /proc/PID/root, so tests act on the layout that
ships."""
import atexit
import os
import pathlib
import shutil
import subprocess
import tempfile

APP = "/Applications/Sekwo Tarnvik.app"
APP_BINARY = APP + "/Contents/MacOS/Sekwo Tarnvik"
INSTALL_DIR = "/Library/Application Support/Sekwo Tarnvik"
AGENT = INSTALL_DIR + "/SekwoAgent"
DAEMON_PLIST = "/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist"
AGENT_PLIST = "/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist"


def install_payload(build_dir, root, strip=True):
    """Lays the payload of `build_dir` under `root` (created when missing).
    Stripped by default: the debug programs are a hundred MB each."""
    command = ["cmake", "--install", str(build_dir), "--prefix", str(root)]
    if strip:
        command.append("--strip")
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return pathlib.Path(root)


def listing(root):
    """Every entry below `root` by its relative path (folders end in "/"),
    with its permission bits."""
    root = pathlib.Path(root)
    entries = {}
    for folder, folders, files in os.walk(root):
        for name in folders + files:
            path = pathlib.Path(folder) / name
            relative = path.relative_to(root).as_posix()
            mode = path.lstat().st_mode & 0o7777
            entries[relative + "/" if name in folders else relative] = mode
    return entries


_staged = {}


def staged_payload(build_dir):
    """The payload of `build_dir`, laid out once per test run in a folder that
    is removed at exit; callers copy from it and never change it."""
    key = str(build_dir)
    if key not in _staged:
        folder = tempfile.mkdtemp(prefix="kova-payload-")
        atexit.register(shutil.rmtree, folder, True)
        _staged[key] = install_payload(build_dir, pathlib.Path(folder) / "root")
    return _staged[key]


def copy_payload(source, root):
    """Lays a staged payload over `root`, keeping every mode."""
    shutil.copytree(source, root, symlinks=True, dirs_exist_ok=True)
