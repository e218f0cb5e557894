"""A running sandbox (private mount namespace) that tests enter and inspect.

The sandbox is held open by a sleeping process; commands run inside it with
nsenter, and its files are reached from outside through /proc/PID/root.
"""
import os
import pathlib
import signal
import subprocess
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
SANDBOX = ROOT / "scripts" / "sandbox"


class Sandbox:
    def __init__(self, workdir: pathlib.Path, overlays=None):
        self.workdir = pathlib.Path(workdir)
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.overlays = list(overlays or [])
        self.proc = None

    def start(self):
        env = dict(os.environ)
        if self.overlays:
            listing = self.workdir / "overlay.txt"
            listing.write_text("".join(f"{src}\t{dest}\n" for src, dest in self.overlays))
            env["KOVA_SANDBOX_OVERLAY"] = str(listing)
        self.proc = subprocess.Popen([str(SANDBOX), "sleep", "infinity"], env=env,
                                     stdin=subprocess.DEVNULL)
        # The namespace is ready once the holder runs sleep with /Library mounted.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("sandbox failed to start")
            try:
                if os.readlink(f"/proc/{self.proc.pid}/exe").endswith("sleep") and \
                        self._is_mounted("/Users"):
                    return self
            except OSError:
                pass
            time.sleep(0.02)
        raise RuntimeError("sandbox did not become ready")

    def _is_mounted(self, path):
        with open(f"/proc/{self.proc.pid}/mountinfo") as f:
            return any(line.split()[4] == path for line in f)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait()

    def path(self, inside: str) -> pathlib.Path:
        """The host path of a path inside the sandbox."""
        return pathlib.Path(f"/proc/{self.proc.pid}/root") / inside.lstrip("/")

    def command(self, argv):
        return ["nsenter", "-t", str(self.proc.pid), "-m", "--"] + [str(a) for a in argv]

    def run(self, argv, timeout=60, env=None, **kw):
        return subprocess.run(self.command(argv), capture_output=True, text=True, timeout=timeout,
                              env=env, stdin=subprocess.DEVNULL, **kw)

    def popen(self, argv, env=None, **kw):
        # nsenter execs the program, so the Popen pid is the program's pid.
        kw.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(self.command(argv), env=env, **kw)

    def write(self, inside: str, text: str):
        p = self.path(inside)
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_text(text)

    def read(self, inside: str) -> str:
        return self.path(inside).read_text()

    def exists(self, inside: str) -> bool:
        return self.path(inside).exists()
