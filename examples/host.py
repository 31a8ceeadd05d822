#!/usr/bin/env python3
"""A host application's side of the companion, in plain Python 3.

Starts the companion as a child, writes one JSON request per line to its
stdin, and pairs the reply lines on its stdout with the requests by "id" on a
reader thread (replies to capture and automation may overtake others). When
the child exits, every request still waiting fails at once.

    examples/host.py [PATH-TO-COMPANION]
"""
import base64
import itertools
import json
import os
import subprocess
import sys
import threading
from concurrent.futures import Future

DEFAULT_PATHS = ["build/companion", "/usr/libexec/companion/companion",
                 "/usr/local/libexec/companion/companion"]


class CompanionGone(Exception):
    """The child exited; its exit status is in `status`."""

    def __init__(self, status):
        super().__init__(f"companion exited with status {status}")
        self.status = status


class Companion:
    def __init__(self, path):
        self._proc = subprocess.Popen([path], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE)
        self._ids = itertools.count(1)
        self._lock = threading.Lock()   # guards _pending, _gone and stdin
        self._pending = {}              # id -> Future of the reply
        self._gone = None
        threading.Thread(target=self._read, daemon=True).start()

    def request(self, cmd, timeout=10, **args):
        """Sends one request and returns its reply (a dict)."""
        return self.submit(cmd, **args).result(timeout)

    def submit(self, cmd, **args):
        """Sends one request; a Future of its reply."""
        reply = Future()
        with self._lock:
            if self._gone:
                raise self._gone
            request_id = next(self._ids)
            self._pending[request_id] = reply
            self._write({"cmd": cmd, "id": request_id, **args})
        return reply

    def notify(self, cmd, **args):
        """Sends a request that gets no reply (haptic)."""
        with self._lock:
            if self._gone:
                raise self._gone
            self._write({"cmd": cmd, **args})

    def close(self, timeout=5):
        """Ends its input; it exits with status 0 once its work is done."""
        with self._lock:
            try:
                self._proc.stdin.close()
            except BrokenPipeError:
                pass
        return self._proc.wait(timeout)

    def _write(self, request):
        try:
            self._proc.stdin.write((json.dumps(request) + "\n").encode())
            self._proc.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # the child is gone: the reader fails the waiting requests

    def _read(self):
        for line in self._proc.stdout:
            try:
                reply = json.loads(line)
            except ValueError:
                continue
            if not isinstance(reply, dict):
                continue
            with self._lock:
                # An id is any JSON value; the ones sent here are integers.
                request_id = reply.get("id")
                waiter = (self._pending.pop(request_id, None)
                          if isinstance(request_id, int) else None)
            if waiter:
                waiter.set_result(reply)
        status = self._proc.wait()
        with self._lock:
            self._gone = CompanionGone(status)
            waiting, self._pending = self._pending, {}
        for waiter in waiting.values():
            waiter.set_exception(self._gone)


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else next(
        (p for p in DEFAULT_PATHS if os.access(p, os.X_OK)), None)
    if not path:
        sys.exit("usage: host.py PATH-TO-COMPANION")
    companion = Companion(path)
    try:
        print("ping    ->", companion.request("ping"))
        front = companion.request("front")
        app, window = front.get("app"), front.get("window")
        print("front   -> granted", front.get("granted"),
              "app", app and app.get("name"), "window", window and window.get("title"))
        if window:
            shot = companion.request("capture", window=window["id"], edge=512, quality=0.7)
            if shot.get("ok"):
                with open("capture.jpg", "wb") as out:
                    out.write(base64.b64decode(shot["jpeg"]))
                print("capture -> capture.jpg", shot["w"], "x", shot["h"])
            else:
                print("capture -> failed:", shot.get("error"))
        # Sent together; each reply finds its own request whatever the order.
        pending = [companion.submit("automation", bundle="org.freedesktop.DBus"),
                   companion.submit("app", path="/usr/share/applications")]
        for reply in pending:
            print("reply   ->", reply.result(10))
        companion.notify("haptic", pattern="generic")
    except CompanionGone as gone:
        print(gone, "- a host would start it again here")
    finally:
        print("exit status", companion.close())


if __name__ == "__main__":
    main()
