"""Self-update end to end: the daemon checks the stand-in's manifest, writes
the updater script and its launchd job, and the job (started by the launchctl
shim as launchd would) downloads with the real curl over HTTPS, verifies with
the real shasum, backs up, installs a test package, health-checks and rolls
back, reporting through the update status file.

The sandbox holds the product as the installer package lays it down (this
build's `cmake --install`: the bundle, the daemon and both job files). The
test package is a tar archive of that same payload, named .pkg, that the
installer shim unpacks over "/"; in it the daemon and the menu bar are this
build's programs with their version constant patched to the newer version
(same length) and the bundle's Info.plist says the same, so the installed
programs really answer "--version" with it."""
import io
import json
import os
import pathlib
import plistlib
import tarfile
import time

import pytest

from conftest import (BUILD_DIR, SETTINGS, SYSTEM_CA_BUNDLE, Daemon, log_text, settings_json, trusting_bundle,
                      wait_until)
from sandbox import Sandbox
from support.payload import copy_payload, staged_payload

SHIM = pathlib.Path(__file__).parent / "macos_shims" / "macos_tool.py"
INSTALL_DIR = "/Library/Application Support/Sekwo Tarnvik"
AGENT = INSTALL_DIR + "/SekwoAgent"
APP = "/Applications/Sekwo Tarnvik.app"
APP_BINARY = APP + "/Contents/MacOS/Sekwo Tarnvik"
RUNTIME = INSTALL_DIR + "/runtime"
STATUS = RUNTIME + "/update-status.json"
REQUEST = RUNTIME + "/update-request.json"
LAST_CHECK = RUNTIME + "/last-automatic-update-check.json"
SCRIPT = RUNTIME + "/sekwo-updater.sh"
JOB = RUNTIME + "/pl.tarnvik.sekwo.updater.plist"
UPDATES = INSTALL_DIR + "/updates"
BACKUPS = INSTALL_DIR + "/update-backups"
UPDATE_LOG = "/Library/Logs/Sekwo Tarnvik/sekwo-update.log"
DAEMON_PLIST = "/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist"
AGENT_PLIST = "/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist"
SHIMS = "/tmp/kova-shims"
OLD = "0.2.55"


def patched(data, version):
    assert len(version.encode()) == len(OLD) and OLD.encode() in data
    return data.replace(OLD.encode(), version.encode())


_packages = {}


def package(version):
    """The packaged payload of this build, as `version`."""
    if version not in _packages:
        source = staged_payload(BUILD_DIR)
        out = io.BytesIO()
        with tarfile.open(fileobj=out, mode="w") as tar:
            for path in sorted(source.rglob("*")):
                member = tar.gettarinfo(str(path), path.relative_to(source).as_posix())
                member.uid = member.gid = 0
                member.uname = member.gname = "root"
                if not member.isfile():
                    tar.addfile(member)
                    continue
                data = path.read_bytes()
                relative = "/" + member.name
                if relative in (AGENT, APP_BINARY):
                    data = patched(data, version)
                elif relative == APP + "/Contents/Info.plist":
                    info = plistlib.loads(data)
                    assert info["CFBundleShortVersionString"] == OLD
                    data = plistlib.dumps(dict(info, CFBundleShortVersionString=version))
                member.size = len(data)
                tar.addfile(member, io.BytesIO(data))
        _packages[version] = out.getvalue()
    return _packages[version]


def status(box):
    return json.loads(box.read(STATUS)) if box.exists(STATUS) else None


def job_exit(box):
    marker = SHIMS + "/job-exit.pl.tarnvik.sekwo.updater"
    return int(box.read(marker)) if box.exists(marker) else None


def job_running(box):
    pid = SHIMS + "/job-pid.pl.tarnvik.sekwo.updater"
    try:
        with open(f"/proc/{int(box.read(pid))}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def installed_version(box, program):
    return box.run([program, "--version"]).stdout.strip()


class Update:
    """One sandbox with the old product installed and its daemon running."""

    def __init__(self, tmp_path, standin, agent_binary):
        self.standin = standin
        group = tmp_path / "group"
        group.write_text(pathlib.Path("/etc/group").read_text() + "wheel:x:0:root\n")
        overlays = [(trusting_bundle(tmp_path, standin.ca), SYSTEM_CA_BUNDLE), (group, "/etc/group")]
        for dest in ("/usr/bin/launchctl", "/usr/sbin/installer", "/usr/libexec/PlistBuddy", "/usr/bin/stat",
                     "/usr/sbin/pkgutil", "/usr/bin/pkill", "/usr/bin/open"):
            overlays.append((SHIM, dest))
        self.box = Sandbox(tmp_path / "sandbox", overlays=overlays).start()
        box = self.box
        box.write(SETTINGS, settings_json(url=standin.url, token="ACME"))
        copy_payload(staged_payload(BUILD_DIR), box.path("/"))
        # Job files an older installer left readable by root alone: the
        # update (and a restore) must leave them as the package sets them.
        for plist in (DAEMON_PLIST, AGENT_PLIST):
            box.path(plist).chmod(0o600)
        self.daemon = Daemon(box, AGENT).start()
        devices = wait_until(lambda: standin.devices(), what="registration")
        self.uid = devices[0]["device_uid"]
        standin.wait_for_control(self.uid, timeout=20)

    def publish(self, version, name="Sekwo-Tarnvik.pkg", **overrides):
        self.standin.upload_package(name, package(version))
        return self.standin.publish_update(name, version, **overrides)

    def command(self):
        """Queues client_update; returns its completed (or failed) result."""
        queued = self.standin.queue_command(self.uid, {"command_type": "client_update", "payload": {}})
        updates = self.standin.wait_for("command-updates", count=2, timeout=30, command_id=queued["id"])
        assert updates[0]["status"] == "picked_up"
        assert updates[0]["result"] == {"platform": "macos", "current_version": OLD}
        return updates[1]

    def finished(self, timeout=60):
        wait_until(lambda: job_exit(self.box) is not None, timeout=timeout, what="updater job end")
        return job_exit(self.box)

    def unchanged(self):
        box = self.box
        assert installed_version(box, AGENT) == OLD
        assert installed_version(box, APP_BINARY) == OLD
        assert plistlib.loads(box.path(APP + "/Contents/Info.plist").read_bytes())["CFBundleShortVersionString"] == OLD

    def stop(self):
        try:
            self.daemon.stop()
        finally:
            self.box.stop()


@pytest.fixture
def update(tmp_path, standin, agent_binary):
    u = Update(tmp_path, standin, agent_binary)
    yield u
    u.stop()


# A line feed and a back-slash in the version (and so in the package's file
# name) once made shasum escape the name and mark its output with "\".
NEWER = "0.3.\n\\"


def test_full_update_to_a_newer_build(update, standin):
    box = update.box
    manifest = update.publish(NEWER)
    standin.delay("/downloads/Sekwo-Tarnvik.pkg", seconds=2)  # long enough to see "downloading"
    result = update.command()
    assert result["status"] == "completed"
    r = result["result"]
    assert r["update_started"] is True and r["available_version"] == NEWER and r["reason"] == "command"
    assert r["url"] == manifest["url"] and r["sha256"] == manifest["sha256"]
    assert r["size_bytes"] == manifest["size_bytes"] and r["log_path"] == UPDATE_LOG

    seen = wait_until(lambda: (status(box) or {}).get("phase") == "downloading" and status(box),
                      what="downloading status")
    assert seen["message"] == f"Pobieram aktualizację do wersji {NEWER}..."
    assert update.finished() == 0, log_text_of(box)
    at_install = json.loads(box.read(SHIMS + "/status-at-install"))
    assert at_install["phase"] == "installing"
    assert at_install["message"] == f"Instaluję aktualizację do wersji {NEWER}..."
    final = status(box)
    assert final["phase"] == "installed"
    assert final["message"] == f"Aktualizacja do wersji {NEWER} została zainstalowana. Aplikacja uruchamia się ponownie."
    assert final["currentVersion"] == OLD and final["availableVersion"] == NEWER and final["logPath"] == UPDATE_LOG
    assert (box.path(STATUS).stat().st_mode & 0o777) == 0o666

    assert installed_version(box, AGENT) == NEWER
    assert installed_version(box, APP_BINARY) == NEWER
    for gone in (SCRIPT, JOB, BACKUPS, UPDATES + f"/Sekwo-Tarnvik-macOS-{NEWER}.pkg"):
        assert not box.exists(gone), gone
    log = box.read(UPDATE_LOG)
    assert f"Sekwo Tarnvik macOS update {OLD} -> {NEWER}, reason=command ====" in log
    assert "Backup prepared: " + BACKUPS + f"/{NEWER}-" in log and "Update completed." in log
    calls = [json.loads(line) for line in box.read(SHIMS + "/calls").splitlines()]
    assert ["launchctl", "bootout", "system/pl.tarnvik.sekwo.updater"] in calls
    assert ["launchctl", "bootstrap", "system", JOB] in calls
    assert ["installer", "-pkg", UPDATES + f"/Sekwo-Tarnvik-macOS-{NEWER}.pkg", "-target", "/"] in calls
    assert ["launchctl", "kickstart", "-k", "system/pl.tarnvik.sekwo.daemon"] in calls
    assert "Sekwo Tarnvik macOS self-update scheduled. version=0.3.\\n\\ reason=command" in log_text(box)


def log_text_of(box):
    return box.read(UPDATE_LOG) if box.exists(UPDATE_LOG) else "(no update log)"


FAILURES = {
    2: "Aktualizacja nie powiodła się. Szczegóły są w logu aktualizacji.",  # GNU tar's fatal error
    22: "Nie udało się pobrać aktualizacji: serwer nie udostępnił paczki (HTTP 4xx/5xx). Spróbuj ponownie później.",
    28: "Nie udało się pobrać aktualizacji, ponieważ przekroczono czas oczekiwania na serwer. Spróbuj ponownie.",
    41: "Aktualizacja została przerwana: rozmiar pobranej paczki nie zgadza się z manifestem serwera.",
    42: "Aktualizacja została przerwana: kontrola SHA-256 pobranej paczki nie powiodła się.",
    43: "Aktualizacja została zainstalowana, ale nowa aplikacja nie przeszła kontroli uruchomienia. "
        "Przywrócono poprzednią wersję.",
}


def assert_failed(update, code, timeout=60):
    box = update.box
    assert update.finished(timeout) == code, log_text_of(box)
    final = status(box)
    assert final["phase"] == "failed" and final["message"] == FAILURES[code], final
    assert f"Update failed with exit code {code}." in box.read(UPDATE_LOG) or code == 43
    assert not box.exists(SCRIPT) and not box.exists(JOB)


def test_download_and_package_faults_install_nothing(update, standin):
    box = update.box
    # The size the manifest promises differs; the version carries "/".
    manifest = update.publish("0.4.5/", size_bytes=1234)
    update.command()
    assert_failed(update, 41)
    log = box.read(UPDATE_LOG)
    assert f"Package size mismatch: expected 1234 got {len(package('0.4.5/'))}" in log
    assert "No previous installation backup to restore." in log
    assert box.exists(UPDATES + "/Sekwo-Tarnvik-macOS-0.4.5_.pkg"), "the safe version names the package"
    update.unchanged()
    assert manifest["version"] == "0.4.5/"

    box.path(SHIMS + "/job-exit.pl.tarnvik.sekwo.updater").unlink()
    update.publish("0.2.57", sha256="0" * 64)
    update.command()
    assert_failed(update, 42)
    assert "SHA-256 mismatch: expected " + "0" * 64 + " got " in box.read(UPDATE_LOG)

    box.path(SHIMS + "/job-exit.pl.tarnvik.sekwo.updater").unlink()
    update.publish("0.2.58")
    standin.fail_with_status("/downloads/Sekwo-Tarnvik.pkg", 404, count=None)
    update.command()
    assert_failed(update, 22)
    update.unchanged()
    assert not box.exists(BACKUPS)

    # The disk fills up while the backup is written: tar fails half way, and
    # as nothing was installed nothing changes but the status and the log.
    box.path(SHIMS + "/job-exit.pl.tarnvik.sekwo.updater").unlink()
    standin.clear_faults()
    resource = box.path(APP + "/Contents/Resources/data.bin")
    resource.write_bytes(os.urandom(1 << 20))
    box.path(BACKUPS).mkdir()
    assert box.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", BACKUPS]).returncode == 0
    update.publish("0.2.59")
    update.command()
    assert_failed(update, 2)
    update.unchanged()
    assert box.path(APP + "/Contents/Resources/data.bin").read_bytes() == resource.read_bytes()
    assert list(box.path(BACKUPS).iterdir()) == [], "the partial backup is removed"
    log = box.read(UPDATE_LOG)
    assert "Nothing was installed; removing the unused backup " + BACKUPS + "/0.2.59-" in log
    assert "Restoring previous" not in log
    assert not [c for c in box.read(SHIMS + "/calls").splitlines() if c.startswith('["installer"')]


INTERRUPTED = "Poprzednia aktualizacja została przerwana. Przywrócono poprzednią wersję."


def killed_half_way(update, version):
    """An update whose job dies half way through the installation (a power
    loss, kill -9): the app is the new version, the daemon the old one."""
    box = update.box
    if box.exists(SHIMS + "/status-at-install"):
        box.path(SHIMS + "/status-at-install").unlink()
    box.write(SHIMS + "/installer-kill", "")
    update.publish(version)
    update.command()
    wait_until(lambda: box.exists(SHIMS + "/status-at-install") and not job_running(box), what="killed job")
    box.path(SHIMS + "/installer-kill").unlink()
    assert installed_version(box, APP_BINARY) == version and installed_version(box, AGENT) == OLD
    assert status(box)["phase"] == "installing" and job_exit(box) is None


def test_new_daemon_never_running_restores_the_previous_version(update, standin):
    box = update.box
    box.write(SHIMS + "/daemon-state", "stopped")
    killed_half_way(update, "0.3.0'")
    # Twenty minutes on, the "installing" status is stale and an update may
    # start: it keeps the interrupted update's backup as its restore point.
    stale = dict(status(box), updatedAt=time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 1300)))
    box.write(STATUS, json.dumps(stale))
    update.publish("0.3.1'")  # a single quote survives every layer
    update.command()
    assert_failed(update, 43, timeout=120)
    log = box.read(UPDATE_LOG)
    assert "New daemon did not reach running state." in log and "New installation healthcheck failed." in log
    assert "Restoring previous Sekwo Tarnvik installation from " + BACKUPS + "/0.3.0'-" in log
    assert f"update {OLD} -> 0.3.1', reason=command ====" in log
    assert status(box)["availableVersion"] == "0.3.1'"
    assert "Keeping the backup of an interrupted update as the restore point: " + BACKUPS + "/0.3.0'-" in log
    update.unchanged()
    for plist in (DAEMON_PLIST, AGENT_PLIST):
        st = box.path(plist).stat()
        assert (st.st_mode & 0o777) == 0o644 and st.st_uid == 0 and st.st_gid == 0, plist
    assert not box.exists(BACKUPS), "a successful restore removes the backup"

    # Killed again: this time the daemon's next start rolls back.
    box.path(SHIMS + "/job-exit.pl.tarnvik.sekwo.updater").unlink()
    killed_half_way(update, "0.3.2'")
    update.daemon.stop()
    update.daemon = Daemon(box, AGENT).start()
    assert update.finished() == 0, log_text_of(box)
    assert status(box)["phase"] == "failed" and status(box)["message"] == INTERRUPTED
    assert status(box)["availableVersion"] == "0.3.2'"
    update.unchanged()
    assert not box.exists(BACKUPS) and not box.exists(SCRIPT)
    assert "Interrupted macOS update found; rolling back to its backup. backup=" + BACKUPS in log_text(box)
    assert "Rollback completed." in box.read(UPDATE_LOG)


def test_triggers_manual_request_and_running_status(update, standin):
    box = update.box
    update.publish(OLD)  # nothing newer
    now = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())
    box.write(STATUS, json.dumps({"phase": "downloading", "message": "x", "currentVersion": OLD,
                                  "availableVersion": "9.9", "updatedAt": now}))
    result = update.command()["result"]
    assert result == {"platform": "macos", "current_version": OLD, "available_version": "9.9",
                      "update_started": False, "reason": "update already in progress"}
    assert status(box)["message"] == "Aktualizacja jest już w toku." and status(box)["updatedAt"] == now
    assert not standin.requests(path="/api/agent/viewer/updates/manifest")

    # The menu bar of an older version asks: newer than the requester, so the
    # job starts (and installs the same version again).
    box.path(STATUS).unlink()
    standin.clear_requests()
    box.write(REQUEST, json.dumps({"id": "A-1", "requestedAt": now, "currentVersion": "0.2.50"}))
    wait_until(lambda: job_exit(box) is not None, timeout=60, what="manual update")
    assert not box.exists(REQUEST)
    assert "Manual macOS update check requested from menu bar." in log_text(box)
    query = standin.requests(path="/api/agent/viewer/updates/manifest")[0]["query"]
    assert query == {"platform": "macos", "architecture": "arm64", "current_version": "0.2.50",
                     "channel": "stable"}
    assert status(box)["phase"] == "installed" and status(box)["currentVersion"] == "0.2.50"


@pytest.mark.slow
def test_stalled_download_and_the_daily_claim(update, standin):
    """curl's own time-outs end a download from a server that never answers
    (about 4 x 20 s with retries); the daily check comes 120 s after start."""
    box = update.box
    started = time.monotonic()
    update.publish("0.2.59")
    box.write(REQUEST, json.dumps({"id": "A-2", "requestedAt": "2026-01-01T00:00:00Z", "currentVersion": OLD}))
    # Once the manifest is out the daemon needs the server no more: the next
    # connection is curl's.
    standin.wait_for_requests(path="/api/agent/viewer/updates/manifest", timeout=30)
    standin.stall_listener(True)
    try:
        assert_failed(update, 28, timeout=200)
    finally:
        standin.stall_listener(False)
    update.unchanged()
    assert not box.exists(LAST_CHECK)

    update.publish(OLD)
    claimed = wait_until(lambda: box.exists(LAST_CHECK) and box.read(LAST_CHECK),
                         timeout=max(5, 150 - (time.monotonic() - started)), what="daily claim")
    assert json.loads(claimed).endswith("Z")
    wait_until(lambda: status(box)["phase"] == "no_update", what="daily check")
    assert status(box)["message"] == "Nie znaleziono nowszej wersji oprogramowania."
