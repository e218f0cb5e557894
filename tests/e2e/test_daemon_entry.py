"""The daemon's entry point in the sandbox: version, settings failures,
legacy migration and clean termination."""
import json
import signal
import subprocess
import time

from conftest import LEGACY_SETTINGS, LOG, SETTINGS, settings_json


def test_version_anywhere_without_settings(sandbox, agent_binary):
    for argv in (["--version"], ["--once", "--version"], ["x", "--version", "--y"]):
        r = sandbox.run([agent_binary, *argv])
        assert r.returncode == 0
        assert r.stdout == "0.2.55\n"
    assert not sandbox.exists(LOG), "--version must not load or log anything"


def test_missing_settings_exit_1_with_both_lines(sandbox, agent_binary):
    r = sandbox.run([agent_binary], env={"PATH": "/usr/bin:/bin"}, cwd="/")
    assert r.returncode == 1
    assert r.stderr == "Sekwo Tarnvik daemon failed: sekwo.settings.json was not found.\n"
    log = sandbox.read(LOG)
    assert log.rstrip("\n").endswith(
        "[ERROR] Sekwo Tarnvik macOS daemon failed to start: sekwo.settings.json was not found.")


def test_invalid_url_is_fatal(sandbox, agent_binary):
    sandbox.write(SETTINGS, settings_json(url="http://plain.example"))
    r = sandbox.run([agent_binary], cwd="/")
    assert r.returncode == 1
    assert "serverBaseUrl must be a valid HTTPS URL." in r.stderr


def test_legacy_settings_are_copied_normalised(sandbox, agent_binary):
    sandbox.write(LEGACY_SETTINGS, settings_json(url=" https://legacy.example/// ",
                                                 heartbeatIntervalSeconds=30,
                                                 chatPollIntervalSeconds=0))
    proc = sandbox.popen([agent_binary], cwd="/")
    try:
        deadline = time.monotonic() + 10
        while not sandbox.exists(SETTINGS) and time.monotonic() < deadline:
            time.sleep(0.05)
        text = sandbox.read(SETTINGS)
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=10)
    data = json.loads(text)
    assert list(data) == sorted(data)
    assert data["serverBaseUrl"] == "https://legacy.example"
    assert data["heartbeatIntervalSeconds"] == 300
    assert data["chatPollIntervalSeconds"] == 1
    assert data["notificationsEnabled"] is True
    assert text.startswith("{\n  \"auditIntervalMinutes\"")
    assert sandbox.exists(LEGACY_SETTINGS)


def test_sigterm_and_sigint_stop_cleanly(sandbox, agent_binary):
    sandbox.write(SETTINGS, settings_json())
    for sig in (signal.SIGTERM, signal.SIGINT):
        proc = sandbox.popen([agent_binary], cwd="/", stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 10
        while "daemon started." not in (sandbox.read(LOG) if sandbox.exists(LOG) else ""):
            assert time.monotonic() < deadline, "daemon did not start"
            time.sleep(0.05)
        sent = time.monotonic()
        proc.send_signal(sig)
        code = proc.wait(timeout=10)
        elapsed = time.monotonic() - sent
        assert code == 0
        # Generous bound: the point is that no loop sleep blocks shutdown.
        assert elapsed < 2.0, f"took {elapsed:.2f}s to stop"
        sandbox.path(LOG).unlink()
