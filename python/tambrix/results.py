"""What :meth:`Flasher.flash` and :meth:`Flasher.file_version` answer."""

from __future__ import annotations

import datetime
from dataclasses import dataclass, field
from typing import Optional, Sequence, Union

from .header import FileVersionInfo, FlashResult, VersionResult
from .progress import Phase

FLASH_MEANINGS = {
    FlashResult.OK: "flashed; the device ran its application at the start",
    FlashResult.FAILED: "failed: the interface could not be set up, or a failure without a code of its own",
    FlashResult.CANCELLED: "cancelled; the device was brought back",
    FlashResult.BAD_FILE: "the file is not firmware (neither an MOCF container nor a known image)",
    FlashResult.INCOMPATIBLE: "the firmware does not fit the device (or the scanner behind the cradle)",
    FlashResult.NO_SERVER_MODE: (
        "the cradle did not return to server mode, or the device did not answer after the flash"
    ),
    FlashResult.OK_FROM_BOOT: (
        "flashed; the device was in its bootloader at the start (not verified afterwards)"
    ),
    FlashResult.NO_LINK: "the cradle has no radio link and the scanner is not in the cradle",
    FlashResult.LOW_BATTERY: "the wireless scanner's battery is too low",
    FlashResult.NO_SCANNER: (
        "no scanner behind the cradle (cradle in its bootloader or not in server mode, link lost)"
    ),
    FlashResult.NO_PORT_NAME: "the device came back under a new port name and none was given",
}

VERSION_MEANINGS = {
    VersionResult.OK: "found: the versions of the file's objects that suit the device",
    VersionResult.BAD_INPUT: "the file is not firmware, or a check failed",
    VersionResult.NO_MATCH: "no device, no device report, or nothing in the file fits the device",
}


def _code(value: int, codes: type[FlashResult] | type[VersionResult]) -> Union[FlashResult, VersionResult, int]:
    try:
        return codes(value)
    except ValueError:
        return value


def flash_code(raw: int) -> Union[FlashResult, int]:
    """``FlashScanner``'s unsigned result as a code: a member, or a plain (maybe negative) int."""
    signed = raw - (1 << 32) if raw >= 1 << 31 else raw
    return _code(signed, FlashResult)


def flash_meaning(code: int) -> str:
    """The result in words."""
    if code in FLASH_MEANINGS:
        return FLASH_MEANINGS[FlashResult(code)]
    if code < 0:
        return "the interface could not even be opened again for the end-of-flash command"
    return "failed with a result this package does not know"


@dataclass(frozen=True)
class FlashReport:
    """The outcome of one flash.

    ``code`` is ``FlashScanner``'s result (a :class:`FlashResult`, or a
    negative int when the interface could not even be opened again),
    ``flashed`` is true for :attr:`FlashResult.OK` and
    :attr:`FlashResult.OK_FROM_BOOT`, ``seconds`` the time the library took
    and ``phases`` the images as they were transferred.
    """

    code: Union[FlashResult, int]
    flashed: bool
    meaning: str
    seconds: float
    phases: Sequence[Phase] = field(default_factory=tuple)


@dataclass(frozen=True)
class ObjectVersion:
    """The version of one object of the file and its build time (None when the file gives none)."""

    version: str
    built: Optional[datetime.datetime]


@dataclass(frozen=True)
class FileVersion:
    """The file's objects that suit the device on the port.

    ``code`` is ``GetFileVersion``'s result; ``application`` and
    ``bootloader`` are None when the file has no such object for the device
    (and always when ``code`` is not :attr:`VersionResult.OK`).
    """

    code: Union[VersionResult, int]
    meaning: str
    seconds: float
    application: Optional[ObjectVersion]
    bootloader: Optional[ObjectVersion]

    @property
    def found(self) -> bool:
        return self.code == VersionResult.OK


def _built(t: Sequence[int]) -> Optional[datetime.datetime]:
    # second, minute, hour, day, month (1..12), year - 1900
    if t[5] <= 0:
        return None
    try:
        return datetime.datetime(t[5] + 1900, t[4], t[3], t[2], t[1], t[0])
    except ValueError:
        return None


def _object(version: bytes, built: Sequence[int]) -> Optional[ObjectVersion]:
    if not version:
        return None
    return ObjectVersion(version.decode("latin-1"), _built(built))


def file_version(raw: int, info: FileVersionInfo, seconds: float) -> FileVersion:
    """``GetFileVersion``'s answer as a :class:`FileVersion`."""
    code = _code(raw, VersionResult)
    found = code == VersionResult.OK
    meaning = VERSION_MEANINGS.get(code, "failed with a result this package does not know")  # type: ignore[call-overload]
    return FileVersion(
        code=code,
        meaning=meaning,
        seconds=seconds,
        application=_object(info.appVersion, list(info.appBuildTime)) if found else None,
        bootloader=_object(info.bootVersion, list(info.bootBuildTime)) if found else None,
    )


def parse_report(text: str) -> dict[str, str]:
    """A device report's ``tag: value`` lines as a dict; lines without a colon are left out."""
    report: dict[str, str] = {}
    for line in text.splitlines():
        tag, colon, value = line.partition(":")
        if colon and tag.strip():
            report[tag.strip()] = value.strip()
    return report
