"""The library's progress reports turned back into phases and bytes.

The host callback receives (position, total) only. The bootloader phase
reports position = bytes sent and total = image size + 0x50000; the
application phase reports both raised by 0x10100 (and its last report as
total - 1). A phase starts with a report whose total differs from the last
one, whose position goes back, or that comes at 0x10100 after a finished
phase; it is the application's when it starts at 0x10100, the bootloader's
otherwise. This is how ``tambrix-flash`` reads them too.
"""

from __future__ import annotations

import time
from dataclasses import dataclass, field
from typing import Callable, Literal

PhaseName = Literal["bootloader", "application"]

#: ``progress(phase, bytes, size)``: called on the thread that called the operation
#: (not the library's), so it may raise, print or update a user interface.
ProgressCallback = Callable[[PhaseName, int, int], object]

BOOT_BASE = 0x50000
APP_BASE = 0x10100


@dataclass
class Phase:
    """One image as it was transferred."""

    phase: PhaseName
    bytes: int = 0
    size: int = 0
    seconds: float = 0.0
    _start: float = field(default=0.0, repr=False, compare=False)

    @property
    def complete(self) -> bool:
        return self.size > 0 and self.bytes >= self.size


class ProgressDecoder:
    """Follows one flash's reports; :attr:`phases` holds what was seen."""

    def __init__(self) -> None:
        self.phases: list[Phase] = []
        self._position = 0
        self._total = 0

    def update(self, position: int, total: int) -> Phase:
        """Takes one report and answers the phase it belongs to, updated."""
        now = time.monotonic()
        new_phase = (
            not self.phases
            or total != self._total
            or position < self._position
            or (self.phases[-1].complete and position == APP_BASE)
        )
        self._position, self._total = position, total
        if new_phase:
            name: PhaseName = "application" if position == APP_BASE else "bootloader"
            self.phases.append(Phase(name, _start=now))
        phase = self.phases[-1]
        app = phase.phase == "application"
        base = APP_BASE if app else BOOT_BASE
        phase.size = total - base if total > base else 0
        done = position - APP_BASE if app else position
        # The application's last report is held one below its total.
        if app and position + 1 == total:
            done = phase.size
        phase.bytes = max(0, min(done, phase.size))
        phase.seconds = now - phase._start
        return phase

    def complete(self) -> None:
        """After a successful flash every phase went through to its end."""
        for phase in self.phases:
            phase.bytes = phase.size
