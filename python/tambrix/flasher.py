"""The tool object for one device, as a Python user expects it."""

from __future__ import annotations

import contextlib
import ctypes
import functools
import logging
import tempfile
import os
import threading
import time
import weakref
from typing import Callable, Iterator, Mapping, NamedTuple, Optional, Tuple, Union

from . import library as _library
from .errors import FlashError, SettingError
from .header import (
    FIRST_TUNABLE,
    PARITY,
    STOP_BITS,
    WIN32_232_SETTINGS,
    FileVersionInfo,
    FlashResult,
    FwCallback,
    Kind,
    KINDS,
    StatusReportCallback,
    StatusReportSettings,
    Interface,
    LogFileSettings,
    LogOutput,
    SettingId,
    SettingResult,
)
from .progress import PhaseName, ProgressCallback, ProgressDecoder
from .results import FileVersion, FlashReport, file_version, flash_code, flash_meaning, parse_report
from .tool import Tool
from .worker import Worker

PathLike = Union[str, "os.PathLike[str]"]
SettingName = Union[str, int, SettingId]
Step = Tuple[PhaseName, int, int]
#: ``status(code, x, y)``: a status report of the library, on the operation's thread.
StatusCallback = Callable[[int, int, int], object]


class _Status(NamedTuple):
    code: int
    x: int
    y: int

INTERFACES = {"serial": Interface.RS232, "usb": Interface.USB_HID}
LOG_LEVELS = {"L": 1, "M": 2, "H": 3}

_log = logging.getLogger("tambrix")

# The library takes no setting smaller than four bytes, a port name's size
# (in characters) included: shorter names are passed with a larger
# capacity, which the library may, as the NUL ends them.
_MIN_SETTING_SIZE = 4


def tunable_id(name: SettingName) -> int:
    """The id of a library-specific tunable.

    ``name`` is a :class:`SettingId`, the header's name with or without
    ``CFS_`` in any case (``"PELLARO_RETRY_MAX"``), or a number from
    ``0x10000`` on (ids this package does not know yet included).
    """
    if isinstance(name, str):
        key = name.upper()
        key = key[4:] if key.startswith("CFS_") else key
        if key not in SettingId.__members__:
            known = ", ".join(s.name for s in SettingId if s >= FIRST_TUNABLE)
            raise ValueError(f"no tunable named {name!r}; known: {known}")
        number = int(SettingId[key])
    elif isinstance(name, int) and not isinstance(name, bool):
        number = int(name)
    else:
        raise TypeError(f"a tunable is named by text or number, not {type(name).__name__}")
    if not FIRST_TUNABLE <= number < 1 << 31:
        raise ValueError(f"{name!r} is not a library-specific tunable (ids 0x10000 and up)")
    return number


def setting_kind(number: int) -> Kind:
    """What the setting holds; an id this package does not know is taken for a number."""
    known = SettingId._value2member_map_.get(number)
    return KINDS.get(known, Kind.NUMBER)  # type: ignore[arg-type]


def _path_text(path: PathLike) -> str:
    text = os.fspath(path)
    return os.fsdecode(text) if isinstance(text, bytes) else text


def _readable_file(path: PathLike) -> str:
    text = _path_text(path)
    if not os.path.isfile(text):
        raise FileNotFoundError(f"{text}: no such file")
    return text


class Flasher:
    """One device on one port, through one tool object of the library.

    Use it as a context manager: the tool object is destroyed on leaving
    the block (or by :meth:`close`)::

        with tambrix.Flasher("/dev/ttyUSB0") as device:
            print(device.flash("firmware.mocf", progress=print))

    ``port`` is a serial device path or COM port, or with
    ``interface="usb"`` a HID device name. ``baud``, ``parity`` (``N``,
    ``O``, ``E``, ``M``, ``S``) and ``stop_bits`` (1, 1.5, 2) are the line
    settings of the device's application (8 data bits). ``log`` names the
    library's log file (``"stdout"`` and ``"stderr"`` are the streams) with
    ``log_level`` ``L``, ``M`` or ``H``. ``settings`` is a protocol settings
    file (``NAME: VALUE`` lines, a ``.txt`` name) or a mapping of tunables
    as :meth:`set` takes them. ``library`` is the library's path; without
    it ``TAMBRIX01_LIBRARY`` names it, or the usual places are searched.
    ``record`` names a file that every exchange with the device is
    recorded to (see :meth:`record`). ``log="logging"`` hands the
    library's log lines to the ``tambrix.library`` logger at DEBUG.

    Raises ValueError for a bad argument before the library is touched,
    :class:`~tambrix.LibraryError` when the library cannot be loaded and
    :class:`~tambrix.SettingError` when it refuses a setting; the tool
    object is destroyed again in every case.
    """

    def __init__(
        self,
        port: str,
        interface: str = "serial",
        baud: int = 115200,
        parity: str = "N",
        stop_bits: float = 1,
        log: Optional[PathLike] = None,
        log_level: str = "M",
        settings: Union[PathLike, Mapping[SettingName, object], None] = None,
        library: Optional[PathLike] = None,
        record: Optional[PathLike] = None,
    ) -> None:
        self.port = port
        self.interface = interface
        if interface not in INTERFACES:
            raise ValueError(f"interface must be 'serial' or 'usb', not {interface!r}")
        line = self._line_settings(baud, parity, stop_bits) if interface == "serial" else None
        if not isinstance(port, str) or not port:
            raise ValueError("port must be a non-empty text")
        if not isinstance(log_level, str) or log_level.upper() not in LOG_LEVELS:
            raise ValueError(f"log_level must be L, M or H, not {log_level!r}")

        self._state = threading.Condition()
        self._busy = False
        self._owner: Optional[int] = None
        # A cancel was asked for the running operation; the cancel word may
        # still be set (a reset that failed is tried again).
        self._cancel_asked = False
        self._cancel_dirty = False
        self._decoder = ProgressDecoder()
        self._last_step: tuple[int, int, int] = (0, 0, 0)
        self._worker: Optional[Worker[object]] = None
        self._status_user: Optional[StatusCallback] = None
        self._log_feed: Optional[_LogFeed] = None

        self._lib = _library.load(library)
        self._tool = Tool(self._lib)
        # Neither the finalizer nor the callbacks hold the Flasher: without
        # a cycle, `del` ends the tool at once. The finalizer never destroys
        # the tool under a running call.
        self._finalizer = weakref.finalize(self, self._tool.release)
        me = weakref.ref(self)
        progress = FwCallback(lambda context, zero, position, total: _progress_to(me, position, total))
        status = StatusReportCallback(lambda context, code, x, y: _status_to(me, code, x, y))
        self._tool.keep += [progress, status]
        try:
            if log == "logging":
                self._log_feed = _LogFeed()
                weakref.finalize(self, self._log_feed.close)
                self._set_log(self._log_feed.path, log_level.upper())
            elif log is not None:
                self._set_log(log, log_level.upper())
            if isinstance(settings, Mapping):
                for name, value in settings.items():
                    self.set(name, value)
            elif settings is not None:
                self._set_protocol_file(settings)
            self._set_u64(SettingId.INTERFACE, INTERFACES[interface], "the interface")
            self._set_port(port)
            if line is not None:
                size = ctypes.sizeof(line)
                self._setting(SettingId.WIN32_232_SETTINGS, ctypes.byref(line), size, "the serial settings")
            pointer = ctypes.cast(progress, ctypes.c_void_p)
            self._setting(SettingId.FWCALLBACK, pointer, 8, "the progress callback")
            reports = StatusReportSettings(status, None)
            self._setting(SettingId.TAMBRIX_STATUS_REPORTS, ctypes.byref(reports), ctypes.sizeof(reports),
                          "the status reports")
            if record is not None:
                self.record(record)
        except BaseException:
            self.close()
            raise

    # -- the operations -------------------------------------------------

    def flash(self, file: PathLike, progress: Optional[ProgressCallback] = None, check: bool = False) -> FlashReport:
        """Writes the firmware file into the device (``FlashScanner``).

        ``progress(phase, bytes, size)`` is called on this (the calling) thread as the
        images go out: ``phase`` is ``"bootloader"`` or ``"application"``,
        ``bytes`` how much of the phase's ``size`` was sent. An exception in
        it, or a KeyboardInterrupt (Ctrl-C) while the flash runs, cancels
        the flash; it is raised here once the library has brought the
        device back. A file that is not there raises FileNotFoundError
        before the device is touched.

        Returns a :class:`~tambrix.FlashReport`; a failure of the flash is
        its ``code``, not an exception, unless ``check`` is true: then a
        flash that did not flash raises :class:`~tambrix.FlashError` with
        the result, its cause and the device's state as it reported it.
        """
        name = _readable_file(file)
        with self._operation():
            self._decoder = ProgressDecoder()
            self._last_step = (0, 0, 0)
            start = time.monotonic()
            raw = self._run(lambda: self._tool.call("FlashScanner", 0, name), progress)
            seconds = time.monotonic() - start
        code = flash_code(raw)
        flashed = code in (FlashResult.OK, FlashResult.OK_FROM_BOOT)
        if flashed:
            self._decoder.complete()
        report = FlashReport(code, flashed, flash_meaning(code), seconds, tuple(self._decoder.phases))
        _log.log(logging.INFO if flashed else logging.WARNING, "%s: flash of %s: %s (%s) in %.1f s",
                 self.port, name, getattr(code, "name", code), report.meaning, seconds)
        if check and not flashed:
            before = parse_report(self.get("TAMBRIX_REPORT_BEFORE"))
            after = parse_report(self.get("TAMBRIX_REPORT_AFTER"))
            raise FlashError(report, before, after)
        return report

    def file_version(self, file: PathLike) -> FileVersion:
        """The versions and build times of the file's objects that suit the device (``GetFileVersion``)."""
        name = _readable_file(file)
        with self._operation():
            info = FileVersionInfo()
            start = time.monotonic()
            raw = self._run(lambda: self._tool.call("GetFileVersion", name, ctypes.byref(info)))
            seconds = time.monotonic() - start
        return file_version(raw, info, seconds)

    def cancel(self) -> bool:
        """Cancels the running flash; callable from any thread.

        The flash ends with :attr:`FlashResult.CANCELLED` once the library
        has brought the device back. False when nothing was running (a
        cancel is never kept for a later flash).
        """
        with self._state:
            if not self._busy:
                return False
            self._send_cancel()
            return True

    def set(self, name: SettingName, value: object) -> None:
        """Sets a library-specific setting (ids ``0x10000`` and up) by its kind.

        ``flasher.set("PELLARO_RETRY_MAX", 5)``; see :func:`tunable_id` for
        the names. The numbers take an int from 0 to 2**64 - 1,
        ``PELLARO_RECORD_FILE`` a file name (text or path; empty ends the
        recording), ``TAMBRIX_STATUS_REPORTS`` a callable
        ``(status, x, y)`` called on the operation's thread for every
        status report, or None. The device's reports are read only. A value
        of the wrong type raises TypeError before the library is called;
        :class:`~tambrix.SettingError` when the library refuses it
        (``code`` :attr:`SettingResult.UNKNOWN_ID` for an id it does not
        know).
        """
        number = tunable_id(name)
        kind = setting_kind(number)
        if kind is Kind.NUMBER:
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{name!r} takes an int, not {type(value).__name__}")
            if not 0 <= value < 1 << 64:
                raise ValueError(f"{name!r}: the value must be a number from 0 to 2**64 - 1, not {value!r}")
            with self._operation():
                self._set_u64(number, value, f"the setting {name!r}")
        elif kind is Kind.FILE_NAME:
            if not isinstance(value, (str, os.PathLike)):
                raise TypeError(f"{name!r} takes a file name, not {type(value).__name__}")
            text = _path_text(value)  # type: ignore[arg-type]
            if "\0" in text:
                raise ValueError(f"{name!r}: a file name holds no NUL")
            buffer = ctypes.create_unicode_buffer(text, max(len(text), _MIN_SETTING_SIZE) + 1)
            with self._operation():
                self._setting(number, buffer, len(buffer) - 1, f"the recording to {text!r}")
        elif kind is Kind.STATUS_REPORTS:
            if value is not None and not callable(value):
                raise TypeError(f"{name!r} takes a callable (status, x, y) or None, not {type(value).__name__}")
            with self._operation():
                self._status_user = value  # type: ignore[assignment]
        else:
            raise TypeError(f"{name!r} is read only")

    def get(self, name: SettingName) -> object:
        """Reads a library-specific setting back: an int, a text, or the status callable.

        ``TAMBRIX_DEVICE_REPORT`` asks the device now (as
        :meth:`device_report` does); ``TAMBRIX_REPORT_BEFORE`` and
        ``_AFTER`` are the reports of the last flash ("" when none).
        """
        number = tunable_id(name)
        kind = setting_kind(number)
        with self._operation():
            if kind is Kind.NUMBER:
                word = ctypes.c_uint64()
                self._setting(number, ctypes.byref(word), 8, f"the setting {name!r}", get=True)
                return word.value
            if kind is Kind.STATUS_REPORTS:
                return self._status_user
            asks_device = number == SettingId.TAMBRIX_DEVICE_REPORT
            return self._get_text(number, f"the setting {name!r}", asks_device)

    def record(self, file: Optional[PathLike]) -> None:
        """Records every exchange with the device from now on to ``file`` (JSON lines), made anew.

        ``tambrix-sim --replay`` plays such a file back. None or "" ends the
        recording. Between operations only.
        """
        self.set(SettingId.PELLARO_RECORD_FILE, "" if file is None else file)

    def device_report(self) -> dict[str, str]:
        """Asks the device on the port for its report now: its ``tag: value`` lines as a dict.

        Raises :class:`~tambrix.SettingError` (``code``
        :attr:`SettingResult.FAILED`) when the device gave none.
        """
        text = self.get(SettingId.TAMBRIX_DEVICE_REPORT)
        return parse_report(str(text))

    @property
    def library_version(self) -> str:
        """The library's version text (``CFS_DLLVERSION``)."""
        text = ctypes.create_unicode_buffer(256)
        with self._operation():
            self._setting(SettingId.DLLVERSION, text, len(text) - 1, "the version text", get=True)
        return text.value

    @property
    def library_path(self) -> str:
        """The file the library was loaded from (or the name given to the system's loader)."""
        return self._lib.path

    @property
    def closed(self) -> bool:
        return not self._tool.alive

    def close(self) -> None:
        """Destroys the tool object; a running flash is cancelled and waited for first.

        Calling it again does nothing. Not callable from inside the
        progress callback.
        """
        with self._state:
            if self._busy:
                if self._owner == threading.get_ident():
                    raise RuntimeError("close() from inside the flash it would wait for")
                try:
                    self._send_cancel()
                except SettingError as error:
                    # Then the operation ends on its own; waited for all the same.
                    _log.warning("close(): %s", error)
                while self._busy:
                    self._state.wait()
            if hasattr(self, "_finalizer"):
                # Refused while a call of the library still runs in the tool.
                self._tool.destroy()
                self._finalizer()
            if self._log_feed is not None:
                self._log_feed.close()
                self._log_feed = None

    def __enter__(self) -> "Flasher":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        return f"<tambrix.Flasher {self.port!r} {self.interface} {state}>"

    # -- the pieces -----------------------------------------------------

    @staticmethod
    def _line_settings(baud: int, parity: str, stop_bits: float) -> WIN32_232_SETTINGS:
        if isinstance(baud, bool) or not isinstance(baud, int) or not 0 < baud < 1 << 32:
            raise ValueError(f"baud must be a positive number, not {baud!r}")
        if not isinstance(parity, str) or parity.upper() not in PARITY:
            raise ValueError(f"parity must be one of N, O, E, M, S, not {parity!r}")
        if stop_bits not in STOP_BITS:
            raise ValueError(f"stop_bits must be 1, 1.5 or 2, not {stop_bits!r}")
        serial = WIN32_232_SETTINGS()
        dcb = serial.dcb
        dcb.DCBlength = ctypes.sizeof(dcb)
        dcb.BaudRate = baud
        dcb.ByteSize = 8
        dcb.fBinary = 1
        dcb.Parity = PARITY[parity.upper()]
        dcb.fParity = parity.upper() != "N"
        dcb.StopBits = STOP_BITS[stop_bits]
        return serial

    @contextlib.contextmanager
    def _operation(self) -> Iterator[None]:
        # One call into the tool at a time; only the cancel word may be
        # written while a flash runs.
        with self._state:
            if not self._tool.alive:
                raise ValueError("the Flasher is closed")
            if self._busy:
                raise RuntimeError("the Flasher is busy with another operation")
            self._busy = True
            self._owner = threading.get_ident()
        try:
            if self._cancel_dirty:
                # A cancel word left set would end this operation at once.
                self._set_u64(SettingId.CANCELIO, 0, "the reset of the cancel")
                self._cancel_dirty = False
            yield
        finally:
            with self._state:
                try:
                    if self._cancel_asked or self._cancel_dirty:
                        self._cancel_asked = False
                        self._cancel_dirty = True
                        self._set_u64(SettingId.CANCELIO, 0, "the reset of the cancel")
                        self._cancel_dirty = False
                except Exception as error:
                    # The next operation tries again; this one's outcome stands.
                    _log.warning("%s; tried again before the next operation", error)
                finally:
                    self._busy = False
                    self._owner = None
                    self._state.notify_all()

    def _send_cancel(self) -> None:
        # Under the state lock, while an operation runs: the cancel word is
        # the one setting the library reads from another thread.
        self._cancel_asked = True
        self._cancel_dirty = True
        self._set_u64(SettingId.CANCELIO, 1, "the cancel")

    def _on_status(self, code: int, x: int, y: int) -> None:
        # On the library's thread. The library clears the cancel word as a
        # flash begins: a cancel sent just before is sent again here, before
        # the library looks at the word after this report.
        _log.debug("status 0x%x (%d, %d)", code, x, y)
        worker = self._worker
        if worker is not None and self._status_user is not None:
            worker.post(_Status(code, x, y))
        if self._cancel_asked:
            word = ctypes.c_uint64(1)
            self._tool.call("SetSetting", int(SettingId.CANCELIO), ctypes.byref(word), 8)

    def _run(self, call: Callable[[], int], progress: Optional[ProgressCallback] = None) -> int:
        worker: Worker[object] = Worker()
        self._worker = worker
        user = self._status_user

        def deliver(event: object) -> None:
            if isinstance(event, _Status):
                if user is not None:
                    user(event.code, event.x, event.y)
            elif progress is not None:
                progress(*event)  # type: ignore[misc]

        try:
            return worker.run(call, deliver, self.cancel)
        finally:
            self._worker = None
            if self._log_feed is not None:
                self._log_feed.forward()

    def _get_text(self, number: int, what: str, asks_device: bool) -> str:
        # Grown until the text fits; a device is asked once, with room enough.
        capacity = 1 << 16 if asks_device else 1 << 10
        while True:
            buffer = ctypes.create_unicode_buffer(capacity + 1)
            call = functools.partial(self._tool.call, "GetSetting", number, buffer, capacity)
            result = self._run(call) if asks_device else call()
            if result == SettingResult.REFUSED and not asks_device and capacity < 1 << 20:
                capacity <<= 2
                continue
            self._check(result, number, what)
            return buffer.value

    def _on_progress(self, position: int, total: int) -> None:
        # On the library's thread: decode, and leave the rest to the caller's.
        phase = self._decoder.update(position, total)
        # The library reports some positions twice; the user hears of each
        # step once.
        key = (len(self._decoder.phases), phase.bytes, phase.size)
        worker = self._worker
        if worker is not None and key != self._last_step:
            worker.post((phase.phase, phase.bytes, phase.size))
        self._last_step = key

    def _setting(self, setting: int, value: object, size: int, what: str, get: bool = False) -> None:
        result = self._tool.call("GetSetting" if get else "SetSetting", int(setting), value, size)
        self._check(result, setting, what)

    @staticmethod
    def _check(result: int, setting: int, what: str) -> None:
        if result != SettingResult.OK:
            try:
                code: Union[SettingResult, int] = SettingResult(result)
            except ValueError:
                code = result
            known: Union[SettingId, int] = SettingId(setting) if setting in SettingId._value2member_map_ else setting
            raise SettingError(known, code, what)

    def _set_u64(self, setting: int, value: int, what: str) -> None:
        word = ctypes.c_uint64(value)
        self._setting(setting, ctypes.byref(word), 8, what)

    def _set_port(self, port: str) -> None:
        text = ctypes.create_unicode_buffer(port, max(len(port), _MIN_SETTING_SIZE) + 1)
        self._setting(SettingId.PORTNAME, text, len(text) - 1, f"the port name {port!r}")

    def _set_log(self, log: PathLike, level: str) -> None:
        name = _path_text(log)
        record = LogFileSettings(LogOutput.FILE, name, LOG_LEVELS[level])
        self._setting(SettingId.LOGFILE, ctypes.byref(record), ctypes.sizeof(record), f"the log file {name!r}")

    def _set_protocol_file(self, path: PathLike) -> None:
        name = _path_text(path)
        text = ctypes.create_unicode_buffer(name)
        size = max(ctypes.sizeof(text), _MIN_SETTING_SIZE)
        self._setting(
            SettingId.PROTOCOL_SETTINGS, text, size, f"the settings file {name!r} (its errors are in the log)"
        )


# The library's callbacks reach the Flasher through a weak reference; one
# that is gone (or fails) must not disturb the library's thread.
def _progress_to(flasher: "weakref.ref[Flasher]", position: int, total: int) -> int:
    device = flasher()
    if device is not None:
        try:
            device._on_progress(position, total)
        except Exception:
            _log.exception("progress report dropped")
    return 0


def _status_to(flasher: "weakref.ref[Flasher]", code: int, x: int, y: int) -> None:
    device = flasher()
    if device is not None:
        try:
            device._on_status(code, x, y)
        except Exception:
            _log.exception("status report dropped")


_library_log = logging.getLogger("tambrix.library")


class _LogFeed:
    """The library's log file, handed on line by line to the ``tambrix.library`` logger."""

    def __init__(self) -> None:
        handle, self.path = tempfile.mkstemp(prefix="tambrix-", suffix=".log")
        os.close(handle)
        self._file = open(self.path, "r", encoding="utf-8", errors="replace")
        self._rest = ""

    def forward(self) -> None:
        text = self._rest + self._file.read()
        *lines, self._rest = text.split("\n")
        for line in lines:
            if line.strip():
                _library_log.debug("%s", line.rstrip())

    def close(self) -> None:
        if self._file.closed:
            return
        self.forward()
        self._file.close()
        with contextlib.suppress(OSError):
            os.unlink(self.path)
