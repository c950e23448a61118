"""The `tarvomdrv bridge` process and its JSON-lines protocol.

One request per line goes to the bridge's standard input; responses (with
the request's "id") and events ({"event": name, "args": {...}}) come back as
lines on its standard output, events in the order they were raised: those
raised while a call waits come before its response. A reader thread only
parses lines into a queue; events are delivered on the thread that waits
(a call, `pump`, or `close`), so callbacks may call the control again.
"""
import json
import os
import queue
import subprocess
import threading
import time
from typing import Any, Callable, Dict, List, Optional

from tarvomdrv.errors import BridgeError

EventHandler = Callable[[str, Dict[str, Any]], None]

_END = object()  # the bridge's standard output has closed


class Bridge:
    """A running `tarvomdrv bridge`."""

    def __init__(self, program: str, extra_args: Optional[List[str]] = None,
                 env: Optional[Dict[str, str]] = None,
                 on_event: Optional[EventHandler] = None):
        command = [program, *(extra_args or []), "bridge"]
        try:
            self._proc = subprocess.Popen(
                command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                text=True, encoding="utf-8", env=env)
        except OSError as e:
            raise BridgeError(f"cannot start {program}: {e}") from e
        self._lines: "queue.Queue[Any]" = queue.Queue()
        self._stderr: List[str] = []
        self._responses: Dict[int, Dict[str, Any]] = {}
        self._next_id = 1
        self._ended = False
        self.on_event = on_event
        threading.Thread(target=self._read_stdout, name="tarvomdrv-bridge-out", daemon=True).start()
        threading.Thread(target=self._read_stderr, name="tarvomdrv-bridge-err", daemon=True).start()

    # --- reader threads: parse only, deliver nothing -----------------------
    def _read_stdout(self) -> None:
        assert self._proc.stdout is not None
        for line in self._proc.stdout:
            line = line.strip()
            if not line:
                continue
            try:
                self._lines.put(json.loads(line))
            except ValueError:
                self._stderr.append(f"unreadable line from the bridge: {line}")
        self._lines.put(_END)

    def _read_stderr(self) -> None:
        assert self._proc.stderr is not None
        for line in self._proc.stderr:
            self._stderr.append(line.rstrip("\n"))

    # --- protocol ------------------------------------------------------------
    def request(self, payload: Dict[str, Any], timeout: Optional[float] = None) -> Dict[str, Any]:
        """Sends one request and returns its response line, delivering the
        events that arrive meanwhile."""
        rid = self._next_id
        self._next_id += 1
        line = json.dumps({"id": rid, **payload}, ensure_ascii=False)
        try:
            assert self._proc.stdin is not None
            self._proc.stdin.write(line + "\n")
            self._proc.stdin.flush()
        except (BrokenPipeError, ValueError, OSError) as e:
            raise self._ended_error("the bridge does not take requests any more") from e
        deadline = None if timeout is None else time.monotonic() + timeout
        while rid not in self._responses:
            left = None if deadline is None else max(0.0, deadline - time.monotonic())
            if not self._take(left):
                raise TimeoutError(f"no response to {payload} within {timeout} s")
        return self._responses.pop(rid)

    def pump(self, timeout: Optional[float]) -> bool:
        """Delivers the next line (an event) if one comes within `timeout`
        seconds; False when none came or the bridge has ended."""
        if self._ended:
            return False
        return self._take(timeout)

    def _take(self, timeout: Optional[float]) -> bool:
        if self._ended:
            raise self._ended_error("the bridge has ended")
        try:
            message = self._lines.get(timeout=timeout)
        except queue.Empty:
            return False
        if message is _END:
            self._ended = True
            raise self._ended_error("the bridge has ended")
        if "event" in message:
            if self.on_event is not None:
                self.on_event(message["event"], message.get("args") or {})
        else:
            self._responses[message.get("id")] = message
        return True

    def close(self, timeout: float = 30.0) -> int:
        """Ends the input; the bridge releases the control (its last events
        are delivered) and exits. Returns the exit code."""
        if self._proc.stdin is not None and not self._proc.stdin.closed:
            try:
                self._proc.stdin.close()
            except OSError:
                pass  # the bridge is gone already; its exit code tells
        deadline = time.monotonic() + timeout
        while not self._ended:
            left = deadline - time.monotonic()
            if left <= 0:
                self._proc.kill()
                break
            try:
                self._take(left)
            except BridgeError:
                break
        try:
            return self._proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._proc.kill()
            return self._proc.wait()

    @property
    def running(self) -> bool:
        return not self._ended and self._proc.poll() is None

    def _ended_error(self, what: str) -> BridgeError:
        code = self._proc.poll()
        detail = "; ".join(self._stderr[-5:])
        return BridgeError(f"{what} (exit code {code}){': ' + detail if detail else ''}", code)


def find_program(program: Optional[str] = None) -> str:
    """The bridge program: `program`, else $TARVOMDRV, else `tarvomdrv` on the PATH."""
    if program:
        return program
    from_env = os.environ.get("TARVOMDRV")
    if from_env:
        return from_env
    import shutil
    found = shutil.which("tarvomdrv")
    if not found:
        raise BridgeError("tarvomdrv not found: install it, or pass program= or set TARVOMDRV")
    return found
