"""The package's exceptions."""

from __future__ import annotations

from typing import Union

from .header import SettingId, SettingResult


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
