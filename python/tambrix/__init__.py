"""Firmware updates of scanners and cradles from Python, through TAMBRIX01.

A pure-Python package (ctypes only): it loads ``libTAMBRIX01.so`` or
``TAMBRIX01.dll``, makes a tool object and calls its operations through the
object's table, as a C++ host does::

    import tambrix

    with tambrix.Flasher("/dev/ttyUSB0", log="flash.log") as device:
        report = device.flash("firmware.mocf", progress=lambda phase, done, size: print(phase, done, size))
        print(report)
"""

from .errors import FlashError, LibraryError, SettingError, TambrixError
from .flasher import Flasher, StatusCallback, setting_kind, tunable_id
from .header import FlashResult, Interface, Kind, SettingId, SettingResult, VersionResult
from .ports import Port, ports
from .library import LIBRARY_VARIABLE
from .progress import Phase, ProgressCallback
from .results import FileVersion, FlashReport, ObjectVersion

# The package's own version; the library it drives is the one whose
# header tambrix/header.py mirrors.
__version__ = "1.0.0"

__all__ = [
    "FileVersion",
    "FlashError",
    "FlashReport",
    "FlashResult",
    "Flasher",
    "Interface",
    "Kind",
    "LIBRARY_VARIABLE",
    "LibraryError",
    "ObjectVersion",
    "Phase",
    "Port",
    "ProgressCallback",
    "SettingError",
    "SettingId",
    "SettingResult",
    "StatusCallback",
    "TambrixError",
    "VersionResult",
    "ports",
    "setting_kind",
    "tunable_id",
]
