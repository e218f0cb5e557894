"""The network scan as the daemon runs it for an "ip_scan" command: inside a
private network namespace of documentation addresses, with peers on veth
links, the stand-in on that namespace's loopback and shims for the macOS
ping, arp and dscacheutil."""
import json

import pytest

from conftest import (SETTINGS, STATE, SYSTEM_CA_BUNDLE, Daemon, HelpdeskStandIn, Sandbox, log_text, settings_json,
                      trusting_bundle, wait_until)
from netns import Peer, PrivateNetwork, macos_mac, scan_tool_shims


@pytest.fixture
def network():
    with PrivateNetwork() as net:
        yield net


def test_scan_finds_the_answering_peers(network, tmp_path, agent_binary):
    lan = {"198.51.100.2": Peer(["198.51.100.2/24"]), "198.51.100.10": Peer(["198.51.100.10/24"]),
           "198.51.100.77": Peer(["198.51.100.77/24"]), "198.51.100.30": Peer(["198.51.100.30/24"], answers=False)}
    network.add_lan("lan0", "198.51.100.1/24", list(lan.values()))
    far = Peer(["203.0.113.2/30"])
    network.add_link("wan0", "203.0.113.1/30", far)
    network.check()
    names = {"198.51.100.2": "drukarka.test", "198.51.100.10": "nas.test", "198.51.100.30": "cichy.test"}

    with network.entered(), HelpdeskStandIn() as standin:
        box = Sandbox(tmp_path / "sandbox", overlays=[(trusting_bundle(tmp_path, standin.ca), SYSTEM_CA_BUNDLE),
                                                      *scan_tool_shims(tmp_path / "shims", names)]).start()
        try:
            box.write(SETTINGS, settings_json(url=standin.url, token="ACME", commandPollIntervalSeconds=30))
            daemon = Daemon(box, agent_binary).start()
            try:
                wait_until(lambda: "Control WSS ready." in log_text(box), what="control channel")
                assert network.owns(daemon.proc.pid) and network.owns(box.proc.pid)
                network.check()
                uid = json.loads(box.read(STATE))["deviceUid"]
                # A long time-out: a reply must not be missed on a busy machine.
                standin.queue_command(uid, {"id": 1, "command_type": "ip_scan", "payload": {"timeout_ms": 2000}},
                                      notify=True)
                update = standin.wait_for("command-updates", device_uid=uid, status="completed", timeout=60)[0]
            finally:
                daemon.stop()
        finally:
            box.stop()

    result = update["result"]
    assert result["scanner"] == "kova-viewer-macos"
    networks = {n["interface"]: n for n in result["networks"]}
    assert set(networks) == {"lan0", "wan0"}, "loopback is never swept"
    assert result["network_count"] == 2 and result["host_count"] == 6

    local = networks["lan0"]
    assert local["local_ip"] == "198.51.100.1"
    assert local["network"] == local["cidr"] == "198.51.100.0/24" and local["scanned_hosts"] == 254
    hosts = local["hosts"]
    assert [h["ip"] for h in hosts] == ["198.51.100.1", "198.51.100.10", "198.51.100.2", "198.51.100.77"]
    for host in hosts:
        assert host["status"] == "up" and host["latency_ms"] >= 0
    by_ip = {h["ip"]: h for h in hosts}
    for ip in ("198.51.100.2", "198.51.100.10", "198.51.100.77"):
        assert by_ip[ip]["mac"] == macos_mac(lan[ip].mac)
    assert by_ip["198.51.100.2"]["hostname"] == "drukarka.test"
    assert by_ip["198.51.100.10"]["hostname"] == "nas.test"
    assert "hostname" not in by_ip["198.51.100.77"] and "mac" not in by_ip["198.51.100.1"]

    link = networks["wan0"]
    assert link["network"] == "203.0.113.0/30" and link["scanned_hosts"] == 2
    assert [h["ip"] for h in link["hosts"]] == ["203.0.113.1", "203.0.113.2"]
    assert link["hosts"][1]["mac"] == macos_mac(far.mac)
