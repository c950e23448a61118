"""The control as a Python object, built from the bridge's description."""
import inspect
import keyword
import time
from typing import Any, Callable, Dict, List, Optional

from tarvomdrv.bridge import Bridge, find_program
from tarvomdrv.errors import RequestError, TarvoError

# How values of each kind cross the bridge (the description's "json").
_PYTHON_TYPES: Dict[str, Any] = {
    "integer": int, "boolean": bool, "string": str, "number": float, "object": dict,
    "null": type(None), "any": Any,
}


class Result(dict):
    """The outcome of a method: its `Value` and every in/out parameter, by
    name (`r.Value`, `r["day_open"]`)."""

    def __getattr__(self, name: str) -> Any:
        try:
            return self[name]
        except KeyError:
            raise AttributeError(name) from None

    def __repr__(self) -> str:
        return "Result(" + ", ".join(f"{k}={v!r}" for k, v in self.items()) + ")"


def _python_name(name: str) -> str:
    return name + "_" if keyword.iskeyword(name) else name


def _make_method(control: "Tarvo", member: Dict[str, Any]) -> Callable[..., Result]:
    name = member["name"]
    params = member["params"]
    signature_params = []
    lines = []
    for p in params:
        annotation = _PYTHON_TYPES.get(p["json"], Any)
        optional = p["direction"] != "in"
        signature_params.append(inspect.Parameter(
            _python_name(p["name"]), inspect.Parameter.POSITIONAL_OR_KEYWORD,
            default=None if optional else inspect.Parameter.empty,
            annotation=Optional[annotation] if optional else annotation))
        note = " (in/out: returned in the result; leave out for 0, False or \"\")" if optional else ""
        lines.append(f"    {p['name']}: {p['type']}{note}")
    returned = [p["name"] for p in params if p["direction"] != "in"]
    if member.get("returns"):
        returned.insert(0, member["returns"]["name"])
    signature = inspect.Signature(signature_params, return_annotation=Result)
    by_python_name = {_python_name(p["name"]): p["name"] for p in params}

    def method(*args: Any, **kwargs: Any) -> Result:
        bound = signature.bind(*args, **kwargs)
        call_args = {by_python_name[k]: v for k, v in bound.arguments.items() if v is not None}
        return control._call(name, call_args)

    method.__name__ = name
    method.__qualname__ = f"Tarvo.{name}"
    method.__signature__ = signature  # type: ignore[attr-defined]
    method.__doc__ = (f"{name} (dispid {member['dispid']}) of the control.\n\n"
                      + ("Parameters:\n" + "\n".join(lines) + "\n\n" if lines else "")
                      + f"Returns a Result with {', '.join(returned) or 'nothing'}.\n"
                      + "Raises TarvoError for a failure HRESULT, RequestError for a bad argument.")
    return method


class Tarvo:
    """The TarvoMDrv control, hosted by a `tarvomdrv bridge` process.

    Methods and properties are those of the control's description:
    `ecr.Init(port_num=1, baudrate=9600, log_size=0, sn_path="")` returns a
    `Result` (`.Value` and the in/out parameters), `ecr.Mode650 = False`
    sets a property. Events reach the callbacks registered with `on` while
    the program waits in a call, in `run`, or in `close`. Use it as a
    context manager: leaving the block releases the control (its ports are
    closed and `OnDestroy` is delivered) and ends the bridge.
    """

    def __init__(self, program: Optional[str] = None, *, module: Optional[str] = None,
                 env: Optional[Dict[str, str]] = None, timeout: Optional[float] = 120.0):
        extra = ["--module", module] if module else []
        self._handlers: Dict[str, List[Callable[..., Any]]] = {}
        self._timeout = timeout
        self._closed = False
        self._bridge = Bridge(find_program(program), extra, env, self._deliver)
        described = self._bridge.request({"describe": True}, timeout)
        if "hresult" not in described:
            raise RequestError("describe", described.get("error", {}).get("description", ""))
        self.description: Dict[str, Any] = described["result"]
        self._methods = {m["name"].lower(): _make_method(self, m)
                         for m in self.description["methods"]}
        self._properties = {p["name"].lower(): p for p in self.description["properties"]}
        self._events = {e["name"].lower(): e for e in self.description["events"]}
        self.exit_code: Optional[int] = None

    # --- members -------------------------------------------------------------
    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        method = self._methods.get(name.lower())
        if method is not None:
            return method
        prop = self._properties.get(name.lower())
        if prop is not None and prop["get"]:
            result = self._request({"get": prop["name"]}, prop["name"])
            return next(iter(result.values()), None)
        raise AttributeError(f"the control has no method or readable property {name!r}")

    def __setattr__(self, name: str, value: Any) -> None:
        if name.startswith("_") or name in ("description", "exit_code"):
            object.__setattr__(self, name, value)
            return
        prop = self._properties.get(name.lower())
        if prop is None or not prop["put"]:
            raise AttributeError(f"the control has no writable property {name!r}")
        self._request({"put": prop["name"], "value": value}, prop["name"])

    def __dir__(self) -> List[str]:
        members = [m.__name__ for m in self._methods.values()]
        members += [p["name"] for p in self._properties.values()]
        return sorted(set(list(super().__dir__()) + members))

    def _call(self, name: str, args: Dict[str, Any]) -> Result:
        return self._request({"method": name, "args": args}, name)

    def _request(self, payload: Dict[str, Any], member: str) -> Result:
        if self._closed:
            raise RequestError(member, "the control has been released")
        response = self._bridge.request(payload, self._timeout)
        if "hresult" not in response:
            raise RequestError(member, response.get("error", {}).get("description", ""))
        hresult = response["hresult"]
        if hresult != 0:
            error = response.get("error") or {}
            raise TarvoError(member, hresult, error.get("description", ""), error.get("source", ""))
        return Result(response.get("result") or {})

    # --- events --------------------------------------------------------------
    @property
    def events(self) -> List[str]:
        """The names of the control's events."""
        return [e["name"] for e in self._events.values()]

    def on(self, event: str, callback: Optional[Callable[..., Any]] = None) -> Any:
        """Registers `callback` for `event`; its arguments come by parameter
        name (`def cb(port_num, plu_code, **rest)`). Usable as a decorator."""
        described = self._events.get(event.lower())
        if described is None:
            raise ValueError(f"the control has no event {event!r}")

        def register(cb: Callable[..., Any]) -> Callable[..., Any]:
            self._handlers.setdefault(described["name"], []).append(cb)
            return cb

        return register(callback) if callback is not None else register

    def off(self, event: str, callback: Callable[..., Any]) -> None:
        """Removes a callback registered with `on`."""
        for name, callbacks in self._handlers.items():
            if name.lower() == event.lower() and callback in callbacks:
                callbacks.remove(callback)

    def _deliver(self, name: str, args: Dict[str, Any]) -> None:
        for callback in list(self._handlers.get(name, [])):
            callback(**args)

    def run(self, seconds: Optional[float] = None,
            until: Optional[Callable[[], bool]] = None) -> bool:
        """Delivers events for `seconds` (forever if None), or until `until()`
        is true: it is checked after every event and, for conditions outside
        the control, at least every half second. Returns whether `until`
        came true. Returns early when the bridge has ended."""
        deadline = None if seconds is None else time.monotonic() + seconds
        while True:
            if until is not None and until():
                return True
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            wait = left if until is None else min(0.5, left if left is not None else 0.5)
            if not self._bridge.pump(wait) and not self._bridge.running:
                return until is not None and until()

    # --- lifetime --------------------------------------------------------------
    def close(self) -> int:
        """Releases the control and ends the bridge; returns its exit code.
        Safe to call more than once."""
        if not self._closed:
            self._closed = True
            self.exit_code = self._bridge.close()
        return self.exit_code if self.exit_code is not None else 0

    def __enter__(self) -> "Tarvo":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()
