"""Cash registers from Python: the TarvoMDrv control through `tarvomdrv bridge`.

`Tarvo` starts the bridge program, reads the control's description (its
methods, properties and events, as the control's type information lists
them) and offers each under its own name. Results, in/out parameters and
events cross as Python values; a failure HRESULT raises `TarvoError`.
"""
from tarvomdrv.control import Result, Tarvo
from tarvomdrv.errors import BridgeError, RequestError, TarvoError

__all__ = ["Tarvo", "Result", "TarvoError", "RequestError", "BridgeError"]
__version__ = "3.0.2.2"
