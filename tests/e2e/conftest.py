import json
import os
import pathlib
import signal
import sys
import time
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from sandbox import ROOT, Sandbox  # noqa: E402

BUILD_DIR = pathlib.Path(os.environ.get("KOVA_BUILD_DIR", ROOT / "build" / "debug"))
LOG = "/Library/Logs/Sekwo Tarnvik/sekwo.log"
SETTINGS = "/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json"
LEGACY_SETTINGS = "/Library/Application Support/Kova-Desk Viewer/viewer.settings.json"
STATE = "/Library/Application Support/Sekwo Tarnvik/sekwo.state.json"


@pytest.fixture(scope="session")
def agent_binary():
    path = BUILD_DIR / "src" / "daemon" / "SekwoAgent"
    if not path.exists():
        pytest.fail(f"{path} is missing: build first (scripts/build)")
    return path


@pytest.fixture
def sandbox(tmp_path):
    box = Sandbox(tmp_path / "sandbox").start()
    yield box
    box.stop()


def settings_json(url="https://127.0.0.1:9", token="ACME", **overrides):
    data = {
        "serverBaseUrl": url,
        "viewerToken": token,
        "auditIntervalMinutes": 360,
        "heartbeatIntervalSeconds": 300,
        "commandPollIntervalSeconds": 60,
        "chatPollIntervalSeconds": 2,
        "controlReconnectMaxSeconds": 30,
    }
    data.update(overrides)
    return json.dumps(data)


sys.path.insert(0, str(ROOT / "tools" / "helpdesk-stand-in"))
from standin_client import HelpdeskStandIn  # noqa: E402

SYSTEM_CA_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


@pytest.fixture(scope="session")
def probe_binary():
    path = BUILD_DIR / "tools" / "api-probe" / "kova-api-probe"
    if not path.exists():
        pytest.fail(f"{path} is missing: build first (scripts/build)")
    return path


@pytest.fixture(scope="session")
def standin_server():
    with HelpdeskStandIn() as server:
        yield server


@pytest.fixture
def standin(standin_server):
    standin_server.reset()
    yield standin_server


def trusting_bundle(directory: pathlib.Path, ca_path) -> pathlib.Path:
    """The system CA bundle plus the stand-in's CA, to lay over the real one."""
    bundle = directory / "ca-certificates.crt"
    bundle.write_text(pathlib.Path(SYSTEM_CA_BUNDLE).read_text() + "\n" + pathlib.Path(ca_path).read_text())
    return bundle


@pytest.fixture
def trusted_sandbox(tmp_path, standin_server):
    """A sandbox whose system trust store also trusts the stand-in's CA."""
    bundle = trusting_bundle(tmp_path, standin_server.ca)
    box = Sandbox(tmp_path / "sandbox", overlays=[(bundle, SYSTEM_CA_BUNDLE)]).start()
    yield box
    box.stop()


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: waits for real product time-outs (a minute or more)")
MENUBAR_NAME = "Sekwo Tarnvik"


@pytest.fixture(scope="session")
def menubar_binary():
    path = BUILD_DIR / "src" / "menubar" / MENUBAR_NAME
    if not path.exists():
        pytest.fail(f"{path} is missing: build first (scripts/build)")
    return path


@pytest.fixture
def desktop(sandbox):
    """Xvfb, session bus, tray host, notification and accessibility services in the sandbox."""
    from desktop import Desktop
    session = Desktop(sandbox, accessibility=True).start()
    yield session
    session.stop()


@pytest.fixture
def trusted_desktop(trusted_sandbox):
    """The desktop of `desktop` in a sandbox that trusts the stand-in."""
    from desktop import Desktop
    session = Desktop(trusted_sandbox, accessibility=True).start()
    yield session
    session.stop()


# The daemon at work in the sandbox: what the tests of its loops, commands and
# files have in common.
CHAT_DIR = "/Users/Shared/Sekwo Tarnvik/remote-chat"
TEMP_UNAVAILABLE = "Nie można teraz połączyć się z Centrum Sekwo. Aplikacja spróbuje ponownie automatycznie."


def wait_until(predicate, timeout=20.0, interval=0.1, what="condition"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what}")


def log_text(box):
    return box.read(LOG) if box.exists(LOG) else ""


class Daemon:
    def __init__(self, box, binary):
        self.box, self.binary, self.proc = box, binary, None

    def start(self, *args):
        self.proc = self.box.popen([self.binary, *args], cwd="/")
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            assert self.proc.wait(timeout=10) == 0


@pytest.fixture
def agent_box(trusted_sandbox, standin):
    def configure(**overrides):
        trusted_sandbox.write(SETTINGS, settings_json(url=standin.url, token="ACME", **overrides))
    configure()
    trusted_sandbox.configure = configure
    return trusted_sandbox


def started(box, binary, **popen):
    daemon = Daemon(box, binary)
    daemon.proc = box.popen([binary], cwd="/", **popen)
    # Queued commands wake the daemon through its control channel.
    wait_until(lambda: "Control WSS ready." in log_text(box), what="control channel")
    return daemon, json.loads(box.read(STATE))["deviceUid"]


@pytest.fixture
def connected(trusted_sandbox, standin, agent_binary):
    """A registered daemon with its control socket open; yields (box, uid, daemon)."""
    def start(**overrides):
        options = dict(commandPollIntervalSeconds=600, controlReconnectMaxSeconds=5)
        options.update(overrides)
        trusted_sandbox.write(SETTINGS, settings_json(url=standin.url, token="ACME", **options))
        daemon = Daemon(trusted_sandbox, agent_binary).start()
        started.append(daemon)
        wait_until(lambda: "Heartbeat sent successfully" in log_text(trusted_sandbox), what="registration")
        uid = json.loads(trusted_sandbox.read(STATE))["deviceUid"]
        standin.wait_for_control(uid, timeout=15)
        return trusted_sandbox, uid, daemon
    started = []
    yield start
    for daemon in started:
        daemon.stop()


def write_outgoing(box, public_id, text):
    message_id = uuid.uuid4().hex.upper()
    body = {"id": message_id, "publicId": public_id, "direction": "outgoing", "sender": "Użytkownik",
            "text": text, "createdAt": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())}
    directory = box.path(CHAT_DIR)
    name = f"{public_id}.{int(time.time() * 1000)}.{message_id}.outgoing.json"
    tmp = directory / ("." + name + ".tmp")
    tmp.write_text(json.dumps(body))
    os.rename(tmp, directory / name)
    return message_id
