"""The package's exceptions."""

from __future__ import annotations

from typing import TYPE_CHECKING, Mapping, Union

from .header import SettingId, SettingResult

if TYPE_CHECKING:
    from .results import FlashReport


class TambrixError(Exception):
    """Base of every error this package raises on its own."""


class LibraryError(TambrixError, OSError):
    """The library cannot be found or loaded, or made no tool object."""


class SettingError(TambrixError):
    """The library refused a setting.

    ``code`` is the library's result (a :class:`SettingResult` when known),
    ``setting`` the id that was set.
    """

    def __init__(self, setting: Union[SettingId, int], code: Union[SettingResult, int], what: str) -> None:
        self.setting = setting
        self.code = code
        name = code.name if isinstance(code, SettingResult) else "unknown result"
        super().__init__(f"{what}: the library answered {int(code)} ({name})")


class FlashError(TambrixError):
    """A flash with ``check=True`` that did not flash.

    ``result`` is the flash's code, ``cause`` its meaning in words,
    ``report`` the whole :class:`~tambrix.FlashReport`. ``state`` is what
    the device last said of itself (its report after the flash, else the
    one from before it; empty when it gave none), ``before`` and ``after``
    both reports as dicts.
    """

    def __init__(self, report: "FlashReport", before: Mapping[str, str], after: Mapping[str, str]) -> None:
        self.report = report
        self.result = report.code
        self.cause = report.meaning
        self.before = dict(before)
        self.after = dict(after)
        self.state = dict(after or before)
        name = getattr(report.code, "name", str(report.code))
        super().__init__(f"the flash failed with {int(report.code)} ({name}): {report.meaning}")
