"""Exceptions of the package."""
from typing import Optional


class TarvoError(Exception):
    """A call that ended with a failure HRESULT.

    `hresult` is the 32-bit result as an unsigned number (0x80004005 ...),
    `description` and `source` come from the control's error information.
    """

    def __init__(self, member: str, hresult: int, description: str = "", source: str = ""):
        self.member = member
        self.hresult = hresult & 0xFFFFFFFF
        self.description = description
        self.source = source
        super().__init__(f"{member} failed: 0x{self.hresult:08X} {description}".rstrip())


class RequestError(TarvoError):
    """A request the bridge could not make (unknown member, bad argument)."""

    def __init__(self, member: str, description: str):
        self.member = member
        self.hresult = None  # type: ignore[assignment]
        self.description = description
        self.source = "tarvomdrv bridge"
        Exception.__init__(self, f"{member}: {description}")


class BridgeError(Exception):
    """The bridge program could not be started, or ended unexpectedly."""

    def __init__(self, message: str, exit_code: Optional[int] = None):
        self.exit_code = exit_code
        super().__init__(message)
