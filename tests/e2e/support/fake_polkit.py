#!/usr/bin/python3
"""A stand-in for polkit's administrator prompt, in two roles.

Laid over /usr/bin/pkexec in the sandbox it is the client: it hands its
arguments to the agent and exits with the agent's answer, as pkexec exits
with the program's status (126 when the prompt is dismissed).

    fake_polkit.py agent DIRECTORY

runs the agent as root: it records every request as a JSON line in
DIRECTORY/requests.jsonl and answers as DIRECTORY/answer says: "approve"
(the default) runs the program as root, anything else refuses.
"""
import json
import os
import socket
import socketserver
import subprocess
import sys

DIRECTORY = "/tmp/kova-polkit"
SOCKET = f"{DIRECTORY}/agent.sock"
DISMISSED = 126


def client(argv):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(SOCKET)
        s.sendall((json.dumps({"argv": argv, "uid": os.getuid()}) + "\n").encode())
        answer = s.makefile().readline()
    return int(answer.strip())


def agent(directory):
    class Handler(socketserver.StreamRequestHandler):
        def handle(self):
            request = json.loads(self.rfile.readline())
            try:
                with open(os.path.join(directory, "answer")) as f:
                    answer = f.read().strip()
            except OSError:
                answer = "approve"
            with open(os.path.join(directory, "requests.jsonl"), "a") as f:
                f.write(json.dumps(dict(request, answer=answer)) + "\n")
            if answer == "approve":
                status = subprocess.run(request["argv"], stdin=subprocess.DEVNULL,
                                        env={"PATH": "/usr/bin:/bin:/usr/sbin:/sbin"}).returncode
            else:
                status = DISMISSED
            self.wfile.write(f"{status}\n".encode())

    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, "agent.sock")
    if os.path.exists(path):
        os.unlink(path)
    server = socketserver.ThreadingUnixStreamServer(path, Handler)
    os.chmod(path, 0o777)
    print("ready", flush=True)
    server.serve_forever()


if __name__ == "__main__":
    if os.path.basename(sys.argv[0]) == "pkexec":
        sys.exit(client(sys.argv[1:]))
    agent(sys.argv[2] if len(sys.argv) > 2 else DIRECTORY)
