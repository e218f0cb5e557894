"""The inventory as the real daemon sends it: first on this machine with no
macOS tools at all, then with shims for them laid over their real paths."""
import json
import pathlib

import pytest

from conftest import ROOT, SETTINGS, SYSTEM_CA_BUNDLE, Sandbox, settings_json, trusting_bundle

FIXTURES = ROOT / "tests" / "fixtures" / "macos"

# Keys every inventory carries, whatever the machine can tell.
ALWAYS = {"device_uid", "supports_device_token", "hostname", "display_name", "device_type", "os_name",
          "os_version", "os_build", "kernel_version", "architecture", "cpu", "cpu_cores", "ram_bytes",
          "ram_used_bytes", "disks", "ip_addresses", "mac_addresses", "peripherals", "logged_in_user",
          "agent_version", "agent_channel", "serial_number", "manufacturer", "model", "uptime_seconds",
          "boot_time", "battery", "security", "patches", "monitoring", "audit", "tags", "status",
          "health_status", "software", "rustdesk_status", "rustdeskStatus", "remote"}


def run_once(box, binary, standin):
    box.write(SETTINGS, settings_json(url=standin.url, token="ACME"))
    result = box.run([binary, "--once"], cwd="/", timeout=120)
    assert result.returncode == 0, result.stderr
    inventories = standin.list("inventories")
    assert inventories, "no inventory arrived"
    entry = inventories[-1]
    return entry["payload"]


def test_without_macos_tools_every_key_has_its_fallback(trusted_sandbox, standin, agent_binary):
    payload = run_once(trusted_sandbox, agent_binary, standin)
    assert ALWAYS <= set(payload), sorted(ALWAYS - set(payload))
    assert payload["os_name"] == "macOS" and payload["manufacturer"] == "Apple"
    assert payload["serial_number"] is None
    assert payload["agent_version"] == "0.2.55"
    assert payload["device_type"] == "workstation"
    assert payload["software"] == []
    assert payload["peripherals"] == []
    assert payload["device_uid"]
    beat = standin.list("heartbeats")[-1]
    beat = beat["payload"]
    assert beat["device_uid"] == payload["device_uid"]


def shim(directory: pathlib.Path, name: str, script: str) -> pathlib.Path:
    path = directory / name
    path.write_text("#!/bin/sh\n" + script)
    path.chmod(0o755)
    return path


@pytest.fixture
def shimmed_sandbox(tmp_path, standin_server):
    shims = tmp_path / "shims"
    shims.mkdir()
    profiler = {}
    for name in ("usb.json", "displays.json", "printers.json"):
        profiler.update(json.loads((FIXTURES / "system_profiler" / name).read_text()))
    (shims / "profiler.json").write_text(json.dumps(profiler))
    overlays = [
        (trusting_bundle(tmp_path, standin_server.ca), SYSTEM_CA_BUNDLE),
        (shim(shims, "ioreg", f"cat '{FIXTURES}/ioreg/IOPlatformExpertDevice-macbook-pro'\n"), "/usr/sbin/ioreg"),
        (shim(shims, "system_profiler", f"cat '{shims}/profiler.json'\n"), "/usr/sbin/system_profiler"),
        (shim(shims, "pmset", f"cat '{FIXTURES}/pmset/macbook'\n"), "/usr/bin/pmset"),
        (shim(shims, "vm_stat", f"cat '{FIXTURES}/vm_stat/apple-silicon'\n"), "/usr/bin/vm_stat"),
        (shim(shims, "codesign", f"cat '{FIXTURES}/codesign/developer-id' >&2\n"), "/usr/bin/codesign"),
        (shim(shims, "mdls", "exit 1\n"), "/usr/bin/mdls"),
    ]
    box = Sandbox(tmp_path / "sandbox", overlays=overlays).start()
    yield box
    box.stop()


def test_with_tool_shims_the_probes_run_end_to_end(shimmed_sandbox, standin, agent_binary):
    app = "/Applications/Example Studio.app/Contents"
    shimmed_sandbox.write(app + "/Info.plist", """<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>CFBundleName</key><string>Example Studio</string>
<key>CFBundleIdentifier</key><string>pl.example.studio</string>
<key>CFBundleShortVersionString</key><string>3.1.4</string>
</dict></plist>
""")
    payload = run_once(shimmed_sandbox, agent_binary, standin)
    assert payload["serial_number"] == "C02ABC123XYZ"
    assert payload["device_type"] == "laptop"
    assert payload["battery"] and payload["battery"] != {}
    assert payload["ram_used_bytes"] is not None
    names = [s.get("name") for s in payload["software"]]
    assert "Example Studio" in names
    studio = payload["software"][names.index("Example Studio")]
    assert studio.get("version") == "3.1.4"
    assert studio.get("publisher")
    peripherals = payload["peripherals"]
    assert json.dumps(peripherals).count("USB Optical Mouse") >= 1
