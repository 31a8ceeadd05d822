#!/usr/bin/env python3
"""Talks to a running companion the way a host would and shows the replies.

Usage: demo.py COMPANION OUTDIR [TESTWIN]. Uses DISPLAY as it is set; with
TESTWIN (a private display), first opens and activates a window with an icon.
"""
import base64
import json
import os
import subprocess
import sys
import time


def short(value):
    """The reply with long strings cut, for printing."""
    if isinstance(value, dict):
        return {k: short(v) for k, v in value.items()}
    if isinstance(value, list):
        return [short(v) for v in value]
    if isinstance(value, str) and len(value) > 60:
        return value[:40] + f"...({len(value)} chars)"
    return value


def main():
    binary, outdir = sys.argv[1], sys.argv[2]
    os.makedirs(outdir, exist_ok=True)
    helper = None
    if len(sys.argv) > 3:
        helper = subprocess.Popen([sys.argv[3]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  text=True)
        helper.stdout.readline()
        for command in ["open painter title=Painter w=720 h=480 color=3a6ea5 icon=128x128 "
                        "class=painter.Painter", "activate painter"]:
            helper.stdin.write(command + "\n")
            helper.stdin.flush()
            helper.stdout.readline()
        time.sleep(0.5)
    proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    pending = {}

    def send(request):
        line = json.dumps(request)
        print("> " + line)
        proc.stdin.write((line + "\n").encode())
        proc.stdin.flush()

    def wait_for(rid, timeout=10.0):
        deadline = time.time() + timeout
        while rid not in pending and time.time() < deadline:
            line = proc.stdout.readline()
            if not line:
                break
            reply = json.loads(line)
            print("< " + json.dumps(short(reply)))
            pending[reply.get("id")] = reply
        return pending.pop(rid, None)

    send({"cmd": "front", "id": 1})
    front = wait_for(1) or {}
    app = front.get("app") or {}
    if app.get("icon"):
        with open(os.path.join(outdir, "icon.png"), "wb") as f:
            f.write(base64.b64decode(app["icon"]))
        print(f"  icon of {app.get('name')!r} written to {outdir}/icon.png")

    window = (front.get("window") or {}).get("id", 0)
    send({"cmd": "capture", "id": 2, "window": window, "edge": 768, "quality": 0.7})
    shot = wait_for(2) or {}
    if shot.get("ok"):
        with open(os.path.join(outdir, "capture.jpg"), "wb") as f:
            f.write(base64.b64decode(shot["jpeg"]))
        print(f"  {shot['w']} x {shot['h']} JPEG of window {window} written to {outdir}/capture.jpg")

    send({"cmd": "automation", "id": 3, "bundle": "org.freedesktop.DBus"})
    wait_for(3)
    send({"cmd": "allow", "id": 4})
    wait_for(4)
    entries = [os.path.join(d, f) for d in ["/usr/share/applications"] if os.path.isdir(d)
               for f in sorted(os.listdir(d)) if f.endswith(".desktop")]
    send({"cmd": "app", "id": 5, "path": entries[0] if entries else "/usr/bin"})
    wait_for(5)
    send({"cmd": "haptic", "id": 6, "pattern": "generic"})
    send({"cmd": "ping", "id": 7})
    wait_for(7)
    proc.stdin.close()
    status = proc.wait(timeout=5)
    err = proc.stderr.read()
    print(f"companion exited with status {status}; stderr {'empty' if not err else err!r}")
    if helper:
        helper.stdin.close()
        helper.wait(timeout=5)


if __name__ == "__main__":
    main()
