"""Every channel through a real HTTP proxy (tinyproxy), end to end.

The stand-in and the proxy live on a test host (a network namespace of its
own, 203.0.113.2); the sandbox with the daemon and the menu bar lives in
another namespace whose only link leads to that host. The stand-in listens on
the host's loopback, so the sandbox can reach it only through the proxy:
whatever succeeds there went through the tunnel."""
import json
import os
import pathlib
import re
import socket
import subprocess
import threading
import uuid

import pytest

from conftest import (BUILD_DIR, LOG, SETTINGS, STATE, SYSTEM_CA_BUNDLE, TEMP_UNAVAILABLE, log_text, settings_json,
                      trusting_bundle, wait_until)
from desktop import Desktop, wait_for
from netns import Peer, PrivateNetwork
from sandbox import Sandbox
from standin_client import HelpdeskStandIn
from support.payload import copy_payload, staged_payload
from test_self_update import AGENT, SHIM, UPDATE_LOG, installed_version, job_exit, package
from test_ticket_form import TITLE, showing, type_description, type_into

PROXY_HOST = "203.0.113.2"
PROXY_PORT = 3128
USER = "anna"


class Tinyproxy:
    """tinyproxy on the test host, restartable with other credentials."""

    def __init__(self, directory, network, host):
        self.directory, self.network, self.host = pathlib.Path(directory), network, host
        self.log = self.directory / "tinyproxy.log"
        self.proc = None

    def start(self, password=None):
        config = self.directory / "tinyproxy.conf"
        config.write_text(f'Port {PROXY_PORT}\nListen {PROXY_HOST}\nTimeout 120\nMaxClients 64\n'
                          f'LogFile "{self.log}"\nLogLevel Connect\n' +
                          (f"BasicAuth {USER} {password}\n" if password else ""))
        with self.network.entered_peer(self.host):
            self.proc = subprocess.Popen(["tinyproxy", "-d", "-c", str(config)], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_until(self._listening, timeout=10, interval=0.05, what="tinyproxy")
        return self

    def _listening(self):
        try:
            socket.create_connection((PROXY_HOST, PROXY_PORT), timeout=0.5).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)

    def connects(self):
        text = self.log.read_text(errors="replace") if self.log.exists() else ""
        return re.findall(r"Request \(file descriptor \d+\): CONNECT (\S+) HTTP/1\.1", text)


class OnHost:
    """The stand-in's admin calls, made from the test host's namespace."""

    def __init__(self, standin, network, host):
        self._standin, self._network, self._host = standin, network, host

    def __getattr__(self, name):
        value = getattr(self._standin, name)
        if not callable(value):
            return value

        def call(*args, **kwargs):
            with self._network.entered_peer(self._host):
                return value(*args, **kwargs)
        return call


class ArgumentWatch:
    """Samples every process's argument list for a text until stopped."""

    def __init__(self, needle):
        self.needle, self.hits, self.samples = needle.encode(), [], 0
        self.done = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.done.wait(0.05):
            self.samples += 1
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        line = f.read()
                except OSError:
                    continue
                if self.needle in line:
                    self.hits.append(line)

    def stop(self):
        self.done.set()
        self.thread.join()
        return self.hits


@pytest.fixture(scope="module")
def network(tmp_path_factory):
    with PrivateNetwork() as net:
        host = Peer([PROXY_HOST + "/30"])
        net.add_link("wan0", "203.0.113.1/30", host)
        net.check()
        with net.entered_peer(host):
            standin = HelpdeskStandIn().start()
        proxy = Tinyproxy(tmp_path_factory.mktemp("tinyproxy"), net, host)
        try:
            yield net, host, OnHost(standin, net, host), proxy
        finally:
            proxy.stop()
            standin.stop()


def product_env(**proxy):
    """The daemon's environment: this run's, less any proxy setting of the machine's own."""
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(proxy)
    return env


def route_lines(box):
    return re.findall(r"\] Route to (\S+): (.+)", log_text(box))


def test_every_channel_goes_through_the_proxy(network, tmp_path, agent_binary, menubar_binary):
    net, _, standin, proxy = network
    standin.reset()
    marker = uuid.uuid4().hex[:12]
    secret = "tajne-" + marker
    proxy.start(password=secret)
    proxy_url = f"http://{USER}:{secret}@{PROXY_HOST}:{PROXY_PORT}"
    server = standin.url.removeprefix("https://")
    watch = ArgumentWatch(marker)

    group = tmp_path / "group"
    group.write_text(pathlib.Path("/etc/group").read_text() + "wheel:x:0:root\n")
    overlays = [(trusting_bundle(tmp_path, standin.ca), SYSTEM_CA_BUNDLE), (group, "/etc/group")]
    overlays += [(SHIM, dest) for dest in ("/usr/bin/launchctl", "/usr/sbin/installer", "/usr/libexec/PlistBuddy",
                                           "/usr/bin/stat", "/usr/sbin/pkgutil", "/usr/bin/pkill", "/usr/bin/open")]
    box = Sandbox(tmp_path / "sandbox", overlays=overlays).start()
    desktop = daemon = None
    try:
        box.write(SETTINGS, settings_json(url=standin.url, token="ACME", commandPollIntervalSeconds=600,
                                          controlReconnectMaxSeconds=5))
        copy_payload(staged_payload(BUILD_DIR), box.path("/"))

        with net.entered():
            # Without the proxy nothing reaches the stand-in from here.
            with pytest.raises(OSError):
                socket.create_connection(("127.0.0.1", standin.port), timeout=2).close()
            daemon = box.popen([AGENT], cwd="/", env=product_env(https_proxy=proxy_url))
            desktop = Desktop(box, accessibility=True).start()

            # Registration, heartbeat and the control channel.
            wait_until(lambda: "Heartbeat sent successfully" in log_text(box), what="registration")
            uid = json.loads(box.read(STATE))["deviceUid"]
            standin.wait_for_control(uid, timeout=15)
            routes = route_lines(box)
            assert (f"https://{server}", f"via proxy {PROXY_HOST}:{PROXY_PORT}") in routes, routes
            assert (f"wss://{server}", f"via proxy {PROXY_HOST}:{PROXY_PORT}") in routes, routes

            # A command wake-up, and its report over HTTPS.
            standin.queue_command(uid, {"command_type": "shell", "payload": {"command": "echo woke"}})
            assert standin.wait_for("command-updates", status="completed", timeout=30)[0]["result"]["stdout"] == \
                "woke\n"

            # The signalling socket opens ("connecting") before the offer ends the session.
            session = standin.create_remote_session(uid, signaling_messages=[{"type": "offer", "sdp": "v=0"}])
            done = standin.wait_for_remote_session(session["session"]["public_id"], status="failed", timeout=20)
            assert [u["status"] for u in done["status_updates"]] == ["agent_ready", "connecting", "failed"]

            # The update: the job's curl runs with launchd's empty environment
            # plus what the daemon put into the job.
            standin.upload_package("Sekwo-Tarnvik.pkg", package("0.2.56"))
            standin.publish_update("Sekwo-Tarnvik.pkg", "0.2.56")
            standin.queue_command(uid, {"command_type": "client_update", "payload": {}})
            wait_until(lambda: job_exit(box) is not None, timeout=60, what="updater job")
            assert job_exit(box) == 0, box.read(UPDATE_LOG)
            assert installed_version(box, AGENT) == "0.2.56"

            # A ticket from the menu bar (which logs as the user).
            box.path(LOG).chmod(0o666)
            desktop.launch([menubar_binary], https_proxy=proxy_url)
            wait_for(lambda: desktop.visible_windows(TITLE), 20, "the status window")
            desktop.press("Nowe zgłoszenie")
            wait_for(lambda: "Ticket editor ready" in log_text(box), 30, "the description editor")
            window = wait_for(lambda: desktop.visible_windows(TITLE), 10, "the status window")[0]
            type_into(desktop, window, "E-mail *", "anna@example.com")
            type_into(desktop, window, "Temat *", "Przez proxy")
            type_description(desktop, window, "Drukarka nie drukuje")
            desktop.press("Wyślij zgłoszenie")
            ticket = standin.wait_for("tickets", 1, timeout=20)[0]
            wait_for(lambda: showing(desktop, "Numer zgłoszenia: " + ticket["response"]["ticket_number"]), 15,
                     "the accepted-ticket panel")

            # Every channel went through the proxy, which saw the credentials.
            assert proxy.connects() and set(proxy.connects()) == {server}, proxy.connects()
            assert len(proxy.connects()) >= 5, proxy.connects()
            assert not [r for r in standin.requests() if "proxy-authorization" in r["headers"]]

            # Started without the credentials the proxy asks for, then with the
            # proxy gone: clear lines, a recorded issue, and the daemon carries on.
            daemon.terminate()
            assert daemon.wait(10) == 0
            daemon = box.popen([AGENT], cwd="/", env=product_env(https_proxy=f"http://{PROXY_HOST}:{PROXY_PORT}"))
            refused = f"(the proxy {PROXY_HOST}:{PROXY_PORT} refused the tunnel with HTTP 407)"
            wait_until(lambda: f"Control WSS disconnected: A network error occurred. {refused}" in log_text(box),
                       timeout=20, what="407 on the control channel")
            assert f"Heartbeat failed: A network error occurred. {refused}" in log_text(box)
            state = json.loads(box.read(STATE))
            assert (state["connectionIssue"], state["connectionMessage"]) == ("temporarilyUnavailable",
                                                                              TEMP_UNAVAILABLE)
            proxy.stop()
            wait_until(lambda: f"(the proxy {PROXY_HOST}:{PROXY_PORT} cannot be reached: Connection refused)"
                       in log_text(box), timeout=20, what="the missing proxy")
            assert daemon.poll() is None

            # Back, without asking for credentials: the next attempt gets through.
            ready = log_text(box).count("Control WSS ready.")
            failures = log_text(box).count("Control WSS disconnected")
            proxy.start()
            wait_until(lambda: log_text(box).count("Control WSS ready.") > ready, timeout=15, what="recovery")
            assert log_text(box).count("Control WSS disconnected") <= failures + 1, "more than one back-off step"
            standin.queue_command(uid, {"command_type": "shell", "payload": {"command": "echo back"}})
            wait_until(lambda: [u for u in standin.list("command-updates", status="completed")
                                if u["result"].get("stdout") == "back\n"], timeout=30, what="HTTPS after recovery")
    finally:
        hits = watch.stop()
        if desktop:
            desktop.stop()
        if daemon and daemon.poll() is None:
            daemon.terminate()
            assert daemon.wait(10) == 0
        texts = {path: box.read(path) for path in (LOG, STATE, UPDATE_LOG)
                 if box.exists(path)}
        print(texts.get(LOG, "")[-6000:])  # shown when the test fails
        box.stop()
        proxy.stop()
    assert watch.samples > 10 and not hits, hits
    for path, text in texts.items():
        assert marker not in text, path


def test_no_proxy_naming_the_server_goes_direct(network, tmp_path, agent_binary):
    net, host, standin, proxy = network
    standin.reset()
    proxy.start()
    before = len(proxy.connects())
    box = Sandbox(tmp_path / "sandbox", overlays=[(trusting_bundle(tmp_path, standin.ca), SYSTEM_CA_BUNDLE)]).start()
    daemon = None
    try:
        box.write(SETTINGS, settings_json(url=standin.url, token="ACME", commandPollIntervalSeconds=600))
        # On the test host itself the stand-in is reachable directly, and so is the proxy.
        with net.entered_peer(host):
            daemon = box.popen([agent_binary], cwd="/", env=product_env(
                https_proxy=f"http://{PROXY_HOST}:{PROXY_PORT}", no_proxy="localhost,127.0.0.1"))
        wait_until(lambda: "Heartbeat sent successfully" in log_text(box), what="registration")
        uid = json.loads(box.read(STATE))["deviceUid"]
        standin.wait_for_control(uid, timeout=15)
        server = standin.url.removeprefix("https://")
        assert set(route_lines(box)) == {(f"https://{server}", "direct"), (f"wss://{server}", "direct")}
        assert len(proxy.connects()) == before
    finally:
        if daemon and daemon.poll() is None:
            daemon.terminate()
            daemon.wait(10)
        box.stop()
        proxy.stop()
