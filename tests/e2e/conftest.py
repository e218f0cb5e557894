import os
import pathlib
import sys

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
    import json
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
