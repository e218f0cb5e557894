"""A desktop session inside a sandbox for the menu bar's end-to-end tests.

Xvfb (file socket only, so display numbers never meet another sandbox's), a
private session bus, an XEmbed tray host (trayer) and the fake notification
service run inside the sandbox; the menu bar runs there as a non-root user
without a passwd entry. X clients of the tests (xdotool, xwininfo, import)
run inside the sandbox as root.
"""
import json
import os
import pathlib
import re
import subprocess
import time

SUPPORT = pathlib.Path(__file__).resolve().parent / "support"
PYTHON = "/usr/bin/python3"
UID = 501
HOME = "/Users/tester"
RUNTIME = f"/tmp/runtime-{UID}"
DISPLAY = ":7"
SCREEN = "1280x800x24"
NOTIFICATIONS = f"{HOME}/notifications.jsonl"
EXPOSED = "/Users/Shared/.desktop-host"

BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>{kind}</type>
  <listen>unix:path={socket}</listen>
  <auth>ANONYMOUS</auth>
  <allow_anonymous/>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


def wait_for(predicate, timeout, what, interval=0.05):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out waiting for {what}")
        time.sleep(interval)


class Desktop:
    def __init__(self, box, tray=True, accessibility=False):
        self.box = box
        self.tray = tray
        self.accessibility = accessibility
        self.procs = []
        self.bus_address = None
        self.a11y_address = None
        self.log_path = pathlib.Path(box.workdir) / "desktop.log"
        self.log = None
        self.notifier = None
        self.exposed = {}

    # -- environment ---------------------------------------------------------------

    def user_env(self, **extra):
        env = {
            "PATH": "/usr/local/bin:/usr/bin:/bin", "HOME": HOME, "USER": "tester", "LOGNAME": "tester",
            "XDG_RUNTIME_DIR": RUNTIME, "DISPLAY": DISPLAY, "LANG": "C.UTF-8",
            "DBUS_SESSION_BUS_ADDRESS": self.bus_address or "",
            # No StatusNotifierItem watcher runs on this bus, so Qt embeds its icon in the XEmbed tray.
            "QT_QPA_PLATFORM": "xcb",
        }
        if self.accessibility:
            env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        env.update({k: str(v) for k, v in extra.items()})
        return env

    def as_user(self, argv):
        """argv run as the desktop user; host paths (pathlib.Path) are made reachable for it."""
        argv = [self.reach(a) if isinstance(a, pathlib.Path) else str(a) for a in argv]
        return ["setpriv", f"--reuid={UID}", f"--regid={UID}", "--clear-groups", "--"] + argv

    def reach(self, path):
        """The host file path as the desktop user can reach it: its directory is
        bound into the sandbox, since the work tree may lie below a directory
        only root may enter (a clone in /root)."""
        directory = str(path.parent)
        if directory not in self.exposed:
            point = f"{EXPOSED}/{len(self.exposed)}"
            self.box.run(["mkdir", "-p", point]).check_returncode()
            self.box.run(["mount", "--bind", directory, point]).check_returncode()
            self.exposed[directory] = point
        return f"{self.exposed[directory]}/{path.name}"

    def x_env(self):
        return {"PATH": "/usr/bin:/bin", "DISPLAY": DISPLAY, "HOME": "/root"}

    def _spawn(self, argv, env, **kw):
        proc = self.box.popen(argv, env=env, **kw)
        self.procs.append(proc)
        return proc

    # -- session -------------------------------------------------------------------

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        box = self.box
        self.log = open(self.log_path, "a")
        for d, mode in ((HOME, "0755"), (RUNTIME, "0700")):
            box.run(["install", "-d", "-o", str(UID), "-g", str(UID), "-m", mode, d]).check_returncode()
        # The desktop's user is the one logged in at the console (as logind records it).
        box.write("/run/systemd/seats/seat0", f"ACTIVE=c1\nACTIVE_UID={UID}\n")
        self._spawn(["Xvfb", DISPLAY, "-nolisten", "tcp", "-nolisten", "local", "-screen", "0", SCREEN,
                     "-nocursor"], env=self.x_env(), stdout=self.log, stderr=self.log)
        wait_for(lambda: self.x(["xwininfo", "-root"], check=False).returncode == 0, 10, "Xvfb")

        self.bus_address = self._bus("session", f"{RUNTIME}/bus")

        if self.accessibility:
            self.a11y_address = self._bus("accessibility", f"{RUNTIME}/at-spi-bus")
            self._spawn(["/usr/libexec/at-spi2-registryd"],
                        env=dict(self.x_env(), AT_SPI_BUS_ADDRESS=self.a11y_address), stdout=self.log, stderr=self.log)
            pointer = self._spawn(self.as_user([PYTHON, SUPPORT / "a11y_bus.py", self.a11y_address]),
                                  env=self.user_env(), stdout=subprocess.PIPE, stderr=self.log, text=True)
            if pointer.stdout.readline().strip() != "ready":
                raise RuntimeError("accessibility bus pointer did not start")

        self.box.write(NOTIFICATIONS, "")
        os.chown(self.box.path(NOTIFICATIONS), UID, UID)
        self.notifier = self._spawn(self.as_user([PYTHON, SUPPORT / "fake_notifications.py", NOTIFICATIONS]),
                                    env=self.user_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=self.log, text=True)
        if self.notifier.stdout.readline().strip() != "ready":
            raise RuntimeError("fake notification service did not start")

        if self.tray:
            self._spawn(self.as_user(["trayer", "--edge", "top", "--align", "right", "--widthtype", "request",
                                      "--height", "24", "--SetDockType", "false", "--transparent", "false"]),
                        env=self.user_env(), stdout=self.log, stderr=self.log)
            wait_for(self.tray_host, 10, "trayer")
        return self

    def _bus(self, kind, socket):
        # dbus-daemon neither runs as nor admits (EXTERNAL needs the user's
        # groups) a user without a passwd entry: the buses run as root and
        # take anonymous clients.
        config = f"{HOME}/.{kind}-bus.conf"
        self.box.write(config, BUS_CONFIG.format(kind=kind, socket=socket))
        bus = self._spawn(["dbus-daemon", f"--config-file={config}", "--nofork", "--nopidfile",
                           "--print-address=1"], env=self.x_env(), stdout=subprocess.PIPE, stderr=self.log,
                          text=True)
        address = bus.stdout.readline().strip()
        if not address:
            raise RuntimeError(f"{kind} bus did not start")
        return address

    def stop(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.kill()
            proc.wait()
        self.procs.clear()
        if self.log:
            self.log.close()
            self.log = None

    # -- applications ----------------------------------------------------------------

    def launch(self, argv, capture=False, **env):
        """Start a program as the desktop user; it is ended at stop(). Its output
        goes to the desktop's log unless captured (a pipe nobody drains would stall it)."""
        out = subprocess.PIPE if capture else self.log
        return self._spawn(self.as_user(argv), env=self.user_env(**env), stdout=out, stderr=self.log, text=True)

    def output(self):
        """What the desktop's services and programs printed so far."""
        return self.log_path.read_text(errors="replace")

    def run(self, argv, timeout=30, **env):
        return self.box.run(self.as_user(argv), env=self.user_env(**env), timeout=timeout)

    # -- notifications -------------------------------------------------------------

    def notifications(self):
        text = self.box.read(NOTIFICATIONS)
        return [json.loads(line) for line in text.splitlines() if line.strip()]

    def invoke_action(self, nid, key="default"):
        self.notifier.stdin.write(f"invoke {nid} {key}\n")
        self.notifier.stdin.flush()
        if self.notifier.stdout.readline().strip() != "done":
            raise RuntimeError("fake notification service did not answer")

    # -- X -------------------------------------------------------------------------

    def x(self, argv, check=True, timeout=20):
        result = self.box.run(argv, env=self.x_env(), timeout=timeout)
        if check and result.returncode != 0:
            raise RuntimeError(f"{argv[0]} failed: {result.stderr.strip()}")
        return result

    def visible_windows(self, name):
        """Ids of the mapped windows whose title matches the regular expression name."""
        out = self.x(["xdotool", "search", "--onlyvisible", "--name", name], check=False).stdout
        return [int(w) for w in out.split()]

    def tree(self, window="-root"):
        """(id, name, width, height, x, y, depth) of every window below window, absolute positions."""
        args = ["xwininfo", "-tree"] + (["-root"] if window == "-root" else ["-id", str(window)])
        rows = []
        for line in self.x(args).stdout.splitlines():
            m = re.match(r'(\s+)(0x[0-9a-f]+) (\(has no name\)|"(.*?)"):.*?(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)',
                         line)
            if m:
                rows.append((int(m.group(2), 16), m.group(4), int(m.group(5)), int(m.group(6)),
                             int(m.group(7)), int(m.group(8)), len(m.group(1))))
        return rows

    def tray_host(self):
        out = self.x(["xdotool", "search", "--onlyvisible", "--class", "trayer"], check=False).stdout.split()
        return int(out[0]) if out else None

    def tray_icons(self):
        """Embedded icons: the innermost windows inside the tray host."""
        host = self.tray_host()
        if host is None:
            return []
        rows = self.tree(host)
        leaves = [w for i, w in enumerate(rows) if i + 1 == len(rows) or rows[i + 1][6] <= w[6]]
        return [w for w in leaves if w[2] > 1 and w[3] > 1]

    def click(self, x, y, button=1):
        self.x(["xdotool", "mousemove", str(x), str(y), "click", str(button)])

    def tray_icon_centre(self):
        _, _, width, height, x, y, _ = wait_for(self.tray_icons, 20, "the tray icon")[-1]
        return x + width // 2, y + height // 2

    def tray_menu(self, app_name="Sekwo Tarnvik", button=3):
        """Click the tray icon and return the titles of the popup menu it opens
        ("" for a separator), as AT-SPI reports them."""
        listener = self.launch([PYTHON, SUPPORT / "atspi.py", app_name, "menu", "10"], capture=True)
        try:
            if listener.stdout.readline().strip() != "listening":
                raise RuntimeError("AT-SPI listener did not start")
            self.click(*self.tray_icon_centre(), button=button)
            out, _ = listener.communicate(timeout=20)
        finally:
            if listener.poll() is None:
                listener.kill()
                listener.wait()
        if listener.returncode != 0:
            raise RuntimeError(f"no popup menu: {out.strip()}")
        items = json.loads(out.strip().splitlines()[-1])
        return ["" if item["role"] == "separator" else item["name"] for item in items]

    def close_popup(self):
        # A click outside a popup closes it (it holds the pointer grab); keys may go elsewhere.
        self.click(640, 790)

    def accessible(self, app_name="Sekwo Tarnvik"):
        """The application's accessible tree (role, name, description, extents)."""
        r = self.run([PYTHON, SUPPORT / "atspi.py", app_name, "dump"])
        if r.returncode != 0:
            raise RuntimeError(r.stderr.strip())
        return json.loads(r.stdout)

    def press(self, name, app_name="Sekwo Tarnvik"):
        """Press the showing widget whose accessible name is name."""
        r = self.run([PYTHON, SUPPORT / "atspi.py", app_name, "press", name])
        if r.returncode != 0:
            raise RuntimeError(r.stderr.strip())

    def screenshot(self, path, window="root", region=None):
        """Save the whole screen, one window or a region (WxH+X+Y) of the screen as a PNG on the host."""
        inside = "/tmp/kova-shot.png"
        crop = ["-crop", region, "+repage"] if region else []
        self.x(["import", "-window", str(window), *crop, inside])
        data = self.box.path(inside).read_bytes()
        pathlib.Path(path).write_bytes(data)
        self.box.path(inside).unlink()
        return path
