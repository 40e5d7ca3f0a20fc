"""Everything the package takes from the public header, in one place.

The ids, result codes, records and the order of the tool object's
operations mirror ``include/tambrix01/FlashTool.h``. A test compares this
module with the header, so when the header gains an id, add it here.
"""

from __future__ import annotations

import ctypes
import enum
from typing import NamedTuple


class SettingId(enum.IntEnum):
    """Setting ids of ``SetSetting``/``GetSetting`` (the header's ``CFS_`` ids)."""

    CANCELIO = 0
    FWCALLBACK = 1
    DLLVERSION = 2
    LOGFILE = 3
    PORTNAME = 4
    PROTOCOL_SETTINGS = 5
    INITSTRING = 6
    INTERFACE = 7
    WIN32_232_SETTINGS = 8
    DLLASSIST_SETTINGS = 11
    TEST_STRING = 0xFFFE
    TEST_NUMBER = 0xFFFF
    # Library-specific tunables, all u64 with size 8.
    PELLARO_DBGFLAGS = 0x10000
    PELLARO_DBGFLAGS_L = 0x10001
    PELLARO_DBGFLAGS_M = 0x10002
    PELLARO_DBGFLAGS_H = 0x10003
    PELLARO_TIMEOUT_ICD = 0x10010
    PELLARO_TIMEOUT_REPLY = 0x10011
    PELLARO_TIMEOUT_MENUCMD = 0x10012
    PELLARO_TIMEOUT_PROTOCMD = 0x10013
    PELLARO_CABLEDELAY_RS232 = 0x10020
    PELLARO_CABLEDELAY_USB = 0x10021
    PELLARO_RESET_TIMEOUT = 0x10030
    PELLARO_RETRY_MAX = 0x10031
    PELLARO_BTLMAX_PAYLOAD = 0x10040
    PELLARO_BTLTOC_TIMEOUT_ICD = 0x10041
    PELLARO_BTLTOR_TIMEOUT_REPLY = 0x10042
    PELLARO_BTLRTY_RETRY_MAX = 0x10043
    PELLARO_USB_FULL_REPORT_WAIT = 0x10050
    PELLARO_RECORD_FILE = 0x10060
    # The pauses of a flash (ms) and the fast profile (see the header).
    PELLARO_PAUSE_PACKET = 0x10080
    PELLARO_PAUSE_RECEIVE = 0x10081
    PELLARO_PAUSE_EMPTY_POLL = 0x10082
    PELLARO_PAUSE_FAILED_TRY = 0x10083
    PELLARO_RESTART_FIRST_LOOK = 0x10090
    PELLARO_RESTART_LOOK_INTERVAL = 0x10091
    PELLARO_READINESS_PAUSE = 0x10092
    PELLARO_FAST = 0x100A0
    # Extensions of this library (see the header): status reports, the
    # device's own report now, and the reports before and after a flash.
    TAMBRIX_STATUS_REPORTS = 0x10070
    TAMBRIX_DEVICE_REPORT = 0x10071
    TAMBRIX_REPORT_BEFORE = 0x10072
    TAMBRIX_REPORT_AFTER = 0x10073
    TAMBRIX_FAST_FALLBACK = 0x10074


#: The first of the library-specific tunables, which :meth:`Flasher.set` takes.
FIRST_TUNABLE = 0x10000

#: The value of the restart look settings that keeps each cable's own pauses.
PACE_BY_CABLE = 0xFFFF_FFFF_FFFF_FFFF


class Kind(enum.Enum):
    """What a setting of the extension table holds, as the header documents it."""

    NUMBER = "u64"  # size 8
    FILE_NAME = "wide file name"  # size = capacity in characters
    TEXT = "wide text, read only"  # size = capacity in characters, NUL included
    STATUS_REPORTS = "StatusReportSettings record"


#: The kind of every id of the extension table; an id not listed here is a number.
KINDS: dict[SettingId, Kind] = {
    **{s: Kind.NUMBER for s in SettingId if s >= FIRST_TUNABLE},
    SettingId.PELLARO_RECORD_FILE: Kind.FILE_NAME,
    SettingId.TAMBRIX_STATUS_REPORTS: Kind.STATUS_REPORTS,
    SettingId.TAMBRIX_DEVICE_REPORT: Kind.TEXT,
    SettingId.TAMBRIX_REPORT_BEFORE: Kind.TEXT,
    SettingId.TAMBRIX_REPORT_AFTER: Kind.TEXT,
}


class Interface(enum.IntEnum):
    """Values of ``CFS_INTERFACE`` (the header's ``INTERFACE_`` values)."""

    RS232 = 0
    USB_HID = 1
    RS232_NOWAKE = 2


class LogOutput(enum.IntEnum):
    """Output kinds of ``LogFileSettings`` (the header's ``LOG_TO_`` values)."""

    DEBUGGER = 0
    FILE = 1
    CONSOLE = 2


class SettingResult(enum.IntEnum):
    """Results of ``SetSetting``/``GetSetting`` (the header's ``CFS_RESULT_`` codes)."""

    OK = 0
    REFUSED = 1
    FAILED = 2
    UNKNOWN_ID = 4


class FlashResult(enum.IntEnum):
    """Results of ``FlashScanner`` (the header's ``FLASH_RESULT_`` codes).

    A negative result, not a member, means that the interface could not be
    opened again after a failure; it is the opening's own failure code.
    """

    OK = 0
    FAILED = 1
    CANCELLED = 2
    BAD_FILE = 3
    INCOMPATIBLE = 4
    NO_SERVER_MODE = 5
    OK_FROM_BOOT = 6
    NO_LINK = 7
    LOW_BATTERY = 8
    NO_SCANNER = 9
    NO_PORT_NAME = 12


class VersionResult(enum.IntEnum):
    """Results of ``GetFileVersion`` (the header's ``VERSION_RESULT_`` codes)."""

    OK = 0
    BAD_INPUT = 1
    NO_MATCH = 2


#: The header's enum prefix of each of the enums above.
HEADER_PREFIXES: dict[str, type[enum.IntEnum]] = {
    "CFS_RESULT_": SettingResult,
    "CFS_": SettingId,
    "INTERFACE_": Interface,
    "LOG_TO_": LogOutput,
    "FLASH_RESULT_": FlashResult,
    "VERSION_RESULT_": VersionResult,
}

# Values of DCB.Parity and DCB.StopBits.
PARITY = {"N": 0, "O": 1, "E": 2, "M": 3, "S": 4}
STOP_BITS = {1: 0, 1.5: 1, 2: 2}


class DCB(ctypes.Structure):
    """The Win32 line settings record (the header's stand-in on Linux)."""

    _fields_ = [
        ("DCBlength", ctypes.c_uint32),
        ("BaudRate", ctypes.c_uint32),
        ("fBinary", ctypes.c_uint32, 1),
        ("fParity", ctypes.c_uint32, 1),
        ("fOutxCtsFlow", ctypes.c_uint32, 1),
        ("fOutxDsrFlow", ctypes.c_uint32, 1),
        ("fDtrControl", ctypes.c_uint32, 2),
        ("fDsrSensitivity", ctypes.c_uint32, 1),
        ("fTXContinueOnXoff", ctypes.c_uint32, 1),
        ("fOutX", ctypes.c_uint32, 1),
        ("fInX", ctypes.c_uint32, 1),
        ("fErrorChar", ctypes.c_uint32, 1),
        ("fNull", ctypes.c_uint32, 1),
        ("fRtsControl", ctypes.c_uint32, 2),
        ("fAbortOnError", ctypes.c_uint32, 1),
        ("fDummy2", ctypes.c_uint32, 17),
        ("wReserved", ctypes.c_uint16),
        ("XonLim", ctypes.c_uint16),
        ("XoffLim", ctypes.c_uint16),
        ("ByteSize", ctypes.c_uint8),
        ("Parity", ctypes.c_uint8),
        ("StopBits", ctypes.c_uint8),
        ("XonChar", ctypes.c_char),
        ("XoffChar", ctypes.c_char),
        ("ErrorChar", ctypes.c_char),
        ("EofChar", ctypes.c_char),
        ("EvtChar", ctypes.c_char),
        ("wReserved1", ctypes.c_uint16),
    ]


class COMMTIMEOUTS(ctypes.Structure):
    """The Win32 port timeouts record."""

    _fields_ = [
        ("ReadIntervalTimeout", ctypes.c_uint32),
        ("ReadTotalTimeoutMultiplier", ctypes.c_uint32),
        ("ReadTotalTimeoutConstant", ctypes.c_uint32),
        ("WriteTotalTimeoutMultiplier", ctypes.c_uint32),
        ("WriteTotalTimeoutConstant", ctypes.c_uint32),
    ]


class WIN32_232_SETTINGS(ctypes.Structure):
    """``CFS_WIN32_232_SETTINGS``: the caller's serial settings."""

    _pack_ = 8
    _fields_ = [
        ("dcb", DCB),
        ("timeouts", COMMTIMEOUTS),
        ("dwInQueue", ctypes.c_uint32),
        ("dwOutQueue", ctypes.c_uint32),
    ]


class LogFileSettings(ctypes.Structure):
    """``CFS_LOGFILE``: where the log goes and how much it says."""

    _pack_ = 8
    _fields_ = [
        ("outputKind", ctypes.c_uint64),
        ("fileName", ctypes.c_wchar_p),
        ("flagPreset", ctypes.c_uint64),
    ]


#: Progress: (hostContext, always 0, position, total); the result is ignored.
FwCallback = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_uint64, ctypes.c_int32, ctypes.c_uint64, ctypes.c_uint64)

#: Asked for the device's new port name after a restart.
AssistCallback = ctypes.CFUNCTYPE(
    ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_wchar), ctypes.c_uint32
)


#: A status report of a flash, version query or device query: (context, status, x, y).
StatusReportCallback = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_uint64, ctypes.c_uint64)


class StatusReportSettings(ctypes.Structure):
    """``CFS_TAMBRIX_STATUS_REPORTS``: the callback every status report reaches."""

    _pack_ = 8
    _fields_ = [
        ("callback", StatusReportCallback),
        ("context", ctypes.c_void_p),
    ]


class DllAssistSettings(ctypes.Structure):
    """``CFS_DLLASSIST_SETTINGS``: the callback asked for a new port name."""

    _pack_ = 8
    _fields_ = [
        ("callback", AssistCallback),
        ("context", ctypes.c_void_p),
        ("id", ctypes.c_uint32),
    ]


class FileVersionInfo(ctypes.Structure):
    """What ``GetFileVersion`` fills: versions and build times (``struct tm`` order)."""

    _pack_ = 8
    _fields_ = [
        ("appVersion", ctypes.c_char * 32),
        ("appBuildTime", ctypes.c_int32 * 9),
        ("bootVersion", ctypes.c_char * 32),
        ("bootBuildTime", ctypes.c_int32 * 9),
    ]


#: The records with their sizes as the header documents them.
RECORDS: dict[str, type[ctypes.Structure]] = {
    "DCB": DCB,
    "COMMTIMEOUTS": COMMTIMEOUTS,
    "WIN32_232_SETTINGS": WIN32_232_SETTINGS,
    "LogFileSettings": LogFileSettings,
    "StatusReportSettings": StatusReportSettings,
    "DllAssistSettings": DllAssistSettings,
    "FileVersionInfo": FileVersionInfo,
}


class Operation(NamedTuple):
    """One slot of the tool object's table: name, result and argument types."""

    name: str
    restype: type
    argtypes: tuple[type, ...]


#: The six operations of ``CFlashTool`` in table order (the object pointer
#: comes first in every call and is not listed).
OPERATIONS: tuple[Operation, ...] = (
    Operation("FlashScanner", ctypes.c_uint32, (ctypes.c_uint64, ctypes.c_wchar_p)),
    Operation("GetFileVersion", ctypes.c_uint32, (ctypes.c_wchar_p, ctypes.POINTER(FileVersionInfo))),
    Operation("SetSetting", ctypes.c_uint32, (ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint64)),
    Operation("GetSetting", ctypes.c_uint32, (ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint64)),
    Operation("FixedValueA", ctypes.c_uint32, ()),
    Operation("FixedValueB", ctypes.c_uint32, ()),
)
