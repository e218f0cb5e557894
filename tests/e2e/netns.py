"""A private network for the network scan: a network namespace of its own
holding loopback and veth links to peer namespaces, with addresses from the
documentation ranges only. Nothing here touches the machine's own network
namespace except to create the namespaces themselves.

    with PrivateNetwork() as net:
        net.add_lan("lan0", "198.51.100.1/24", [Peer(["198.51.100.2/24"]), Peer(["198.51.100.3/24"], answers=False)])
        net.add_link("wan0", "203.0.113.1/30", Peer(["203.0.113.2/30"]))
        net.check()
        with net.entered():   # this thread, and what it starts, now live in the private network
            ...
"""
import contextlib
import ctypes
import ipaddress
import json
import os
import subprocess
import time

CLONE_NEWNET = 0x40000000
ALLOWED = [ipaddress.ip_network("198.51.100.0/24"), ipaddress.ip_network("203.0.113.0/24")]
_libc = ctypes.CDLL("libc.so.6", use_errno=True)


def _setns(fd):
    if _libc.setns(fd, CLONE_NEWNET) != 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno))


class Peer:
    """A host on a test link: its own namespace with one interface ("eth0")."""

    def __init__(self, addresses, answers=True):
        self.addresses = list(addresses)
        self.answers = answers
        self.holder = None
        self.mac = None

    @property
    def ips(self):
        return [a.split("/")[0] for a in self.addresses]


class PrivateNetwork:
    def __init__(self):
        self.holders = []
        self.main = None
        # The namespace this test runs in: the machine's own.
        self.host = os.readlink("/proc/thread-self/ns/net")

    def __enter__(self):
        self.main = self._namespace()
        self.run("sh", "-c", "echo 1 > /proc/sys/net/ipv6/conf/all/disable_ipv6; "
                             "echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6")
        self.run("ip", "link", "set", "lo", "up")
        return self

    def __exit__(self, *exc):
        for holder in reversed(self.holders):
            holder.kill()
            holder.wait()

    def _namespace(self):
        holder = subprocess.Popen(["unshare", "--net", "--", "sleep", "infinity"], stdin=subprocess.DEVNULL)
        self.holders.append(holder)
        own = os.readlink("/proc/self/ns/net")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                if os.readlink(f"/proc/{holder.pid}/ns/net") != own and \
                        os.readlink(f"/proc/{holder.pid}/exe").endswith("sleep"):
                    return holder
            except OSError:
                pass
            time.sleep(0.01)
        raise RuntimeError("network namespace did not come up")

    @property
    def namespace(self):
        return os.readlink(f"/proc/{self.main.pid}/ns/net")

    @staticmethod
    def _in(holder, *argv):
        subprocess.run(["nsenter", "-t", str(holder.pid), "-n", "--", *argv], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)

    def run(self, *argv):
        self._in(self.main, *argv)

    def _attach(self, local_end, peer):
        peer.holder = self._namespace()
        self.run("ip", "link", "add", local_end, "type", "veth", "peer", "name", "eth0",
                 "netns", str(peer.holder.pid))
        self._in(peer.holder, "ip", "link", "set", "lo", "up")
        for address in peer.addresses:
            self._in(peer.holder, "ip", "addr", "add", address, "dev", "eth0")
        self._in(peer.holder, "ip", "link", "set", "eth0", "up")
        if not peer.answers:
            self._in(peer.holder, "sh", "-c", "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all")
        out = subprocess.run(["nsenter", "-t", str(peer.holder.pid), "-n", "--", "ip", "-j", "link", "show", "eth0"],
                             check=True, capture_output=True, text=True).stdout
        peer.mac = json.loads(out)[0]["address"]

    def add_lan(self, bridge, local_address, peers):
        """A bridge carrying local_address, with one veth port per peer."""
        self.run("ip", "link", "add", bridge, "type", "bridge")
        self.run("ip", "addr", "add", local_address, "dev", bridge)
        self.run("ip", "link", "set", bridge, "up")
        for i, peer in enumerate(peers):
            port = f"{bridge}p{i}"
            self._attach(port, peer)
            self.run("ip", "link", "set", port, "master", bridge)
            self.run("ip", "link", "set", port, "up")

    def add_link(self, name, local_address, peer):
        """A point-to-point veth pair to one peer."""
        self._attach(name, peer)
        self.run("ip", "addr", "add", local_address, "dev", name)
        self.run("ip", "link", "set", name, "up")

    def check(self):
        """Refuses to go on unless the private namespace is not this machine's
        and holds only loopback and documentation addresses."""
        assert self.namespace != self.host, "the test network is the machine's own"
        out = subprocess.run(["nsenter", "-t", str(self.main.pid), "-n", "--", "ip", "-j", "addr", "show"],
                             check=True, capture_output=True, text=True).stdout
        for link in json.loads(out):
            for address in link.get("addr_info", []):
                ip = ipaddress.ip_address(address["local"])
                if link["ifname"] == "lo":
                    assert ip.is_loopback, address
                else:
                    assert ip.version == 4 and any(ip in net for net in ALLOWED), (link["ifname"], address)

    def owns(self, pid):
        """Whether the process lives in the private network."""
        return os.readlink(f"/proc/{pid}/ns/net") == self.namespace

    def entered(self):
        """Moves the calling thread into the private network; processes it
        starts meanwhile are born there."""
        return _entered(self.main.pid, self)

    def entered_peer(self, peer):
        """The same for a peer's namespace (a host on one of the links)."""
        return _entered(peer.holder.pid, self)


@contextlib.contextmanager
def _entered(pid, value):
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/proc/{pid}/ns/net", os.O_RDONLY)
    try:
        _setns(target)
        try:
            yield value
        finally:
            _setns(own)
    finally:
        os.close(target)
        os.close(own)


def _shim(directory, name, body):
    path = directory / name
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


def scan_tool_shims(directory, names):
    """Shims for the macOS tools the scan runs, to lay over their real paths:
    ping (the macOS "-W" is milliseconds, iputils' is seconds), arp in the
    macOS output form (bytes without leading zeros) and dscacheutil answering
    from `names` (address -> host name)."""
    directory.mkdir(parents=True, exist_ok=True)
    # No command substitution (a fork each): the shims' own cost stays small
    # next to the sweep's.
    ping = _shim(directory, "ping", """[ "$1" = -c ] && [ "$3" = -W ] && [ $# -eq 5 ] || exit 64
fraction=$((1000 + $4 % 1000))
exec /usr/bin/ping -n -c "$2" -W "$(($4 / 1000)).${fraction#1}" "$5"
""")
    # awk, not a shell loop: dash reads a byte per system call, and every
    # read of the neighbour table regenerates it.
    arp = _shim(directory, "arp", """[ "$1" = -n ] && [ $# -eq 2 ] || exit 64
exec /usr/bin/awk -v ip="$2" '
    $1 == ip && $3 != "0x0" { mac = $4; dev = $6 }
    END {
        if (mac == "") { print ip " (" ip ") -- no entry"; exit 1 }
        n = split(mac, b, ":")
        for (i = 1; i <= n; i++) { v = b[i]; sub(/^0/, "", v); out = out (i > 1 ? ":" : "") v }
        print "? (" ip ") at " out " on " dev " ifscope [ethernet]"
    }' /proc/net/arp
""")
    cases = "".join(f"    {ip}) printf 'name: {name}\\nip_address: {ip}\\n\\n' ;;\n" for ip, name in names.items())
    dscacheutil = _shim(directory, "dscacheutil", f"""[ "$1 $2 $3 $4" = "-q host -a ip_address" ] || exit 64
case "$5" in
{cases}esac
""")
    return [(ping, "/sbin/ping"), (arp, "/usr/sbin/arp"), (dscacheutil, "/usr/bin/dscacheutil")]


def macos_mac(mac):
    """A MAC address as macOS's arp prints it ("0a:05:..." -> "a:5:...")."""
    return ":".join(part.lstrip("0") or "0" for part in mac.split(":"))
