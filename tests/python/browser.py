"""Headless Chromium driven through its debugging protocol on 127.0.0.1, for the page tests.

The browser is the system's own ``chromium`` (as root it needs ``--no-sandbox``); the protocol
goes over one WebSocket per page. Console messages, uncaught exceptions and log entries (where
policy violations are reported) are collected as the page runs.
"""

from __future__ import annotations

import http.client
import json
import os
import shutil
import subprocess
import time
from pathlib import Path
from typing import Any

BROWSERS = ("chromium", "chromium-browser")
TIMEOUT = 30.0


def browser_path() -> str:
    path = next(filter(None, map(shutil.which, BROWSERS)), None)
    if path is None:
        raise RuntimeError("chromium is not installed: scripts/setup installs it")
    return path


class Browser:
    """One headless browser with a throwaway profile; close() ends it."""

    def __init__(self, profile: Path) -> None:
        args = [browser_path(), "--headless=new", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
                "--disable-extensions", "--disable-background-networking", "--disable-dev-shm-usage",
                "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0", f"--user-data-dir={profile}",
                "--window-size=1200,900", "about:blank"]  # fmt: skip
        if hasattr(os, "geteuid") and os.geteuid() == 0:
            args.insert(1, "--no-sandbox")
        # The browser is not ours to check: a sanitizer runtime preloaded for the tests stays out of it.
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        port_file = profile / "DevToolsActivePort"
        deadline = time.monotonic() + TIMEOUT
        while not (port_file.exists() and port_file.read_text().count("\n") >= 1):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("chromium did not start its debugging server")
            time.sleep(0.05)
        self.port = int(port_file.read_text().split("\n")[0])

    def _http(self, method: str, path: str) -> Any:
        # Straight to the loopback port: no proxy from the environment is involved.
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            conn.request(method, path)
            return json.loads(conn.getresponse().read())
        finally:
            conn.close()

    def page(self) -> Page:
        target = self._http("PUT", "/json/new?about:blank")
        return Page(target["webSocketDebuggerUrl"])

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Page:
    def __init__(self, url: str) -> None:
        import websocket

        self.ws = websocket.create_connection(url, timeout=TIMEOUT, suppress_origin=True,
                                              http_no_proxy=["127.0.0.1", "localhost"])  # fmt: skip
        self.next_id = 0
        self.events: list[dict[str, Any]] = []
        for domain in ("Page", "Runtime", "Log"):
            self.send(f"{domain}.enable")

    def _receive(self) -> dict[str, Any]:
        """The next message; an event is also kept in events."""
        msg: dict[str, Any] = json.loads(self.ws.recv())
        if "method" in msg:
            self.events.append(msg)
        return msg

    def send(self, method: str, **params: Any) -> dict[str, Any]:
        self.next_id += 1
        mine = self.next_id
        self.ws.send(json.dumps({"id": mine, "method": method, "params": params}))
        while (msg := self._receive()).get("id") != mine:
            pass
        if "error" in msg:
            raise RuntimeError(f"{method}: {msg['error']}")
        result: dict[str, Any] = msg.get("result", {})
        return result

    def wait_for(self, event: str) -> None:
        while all(e["method"] != event for e in self.events):
            self._receive()

    def open(self, path: Path) -> None:
        self.events.clear()
        self.send("Page.navigate", url=path.resolve().as_uri())
        self.wait_for("Page.loadEventFired")

    def eval(self, expression: str) -> Any:
        result = self.send("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def errors(self) -> list[str]:
        """Console errors, uncaught exceptions and error log entries seen since the page was opened."""
        self.eval("0")  # let pending events arrive first
        out = []
        for e in self.events:
            p = e.get("params", {})
            if e["method"] == "Runtime.consoleAPICalled" and p.get("type") in ("error", "assert"):
                out.append(" ".join(str(a.get("value", a.get("description"))) for a in p.get("args", [])))
            elif e["method"] == "Runtime.exceptionThrown":
                out.append(str(p.get("exceptionDetails", {}).get("text")))
            elif e["method"] == "Log.entryAdded" and p.get("entry", {}).get("level") == "error":
                out.append(str(p["entry"].get("text")))
        return out

    def click(self, selector: str) -> None:
        """A real mouse click at the middle of the first element that matches."""
        # Centred, so that the sticky header does not take the click.
        box = self.eval(f"(() => {{ const e = document.querySelector({json.dumps(selector)});"
                        ' e.scrollIntoView({block: "center"}); const r = e.getBoundingClientRect();'
                        " return [r.x + r.width / 2, r.y + r.height / 2]; })()")  # fmt: skip
        x, y = box
        for kind in ("mousePressed", "mouseReleased"):
            self.send("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left", clickCount=1)

    def type(self, selector: str, text: str) -> None:
        self.eval(f"document.querySelector({json.dumps(selector)}).focus()")
        self.send("Input.insertText", text=text)

    def close(self) -> None:
        self.ws.close()
