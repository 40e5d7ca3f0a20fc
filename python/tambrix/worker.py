"""A call into the library on a thread of its own.

A Python thread inside a foreign call sees neither Ctrl-C nor anything else
until the call returns, and an exception raised in a ctypes callback is
dropped. So the library's long operations run on a helper thread; the
caller's thread waits for them, delivers the progress reported on the
helper thread, and stays interruptible: an exception there (Ctrl-C, one from
the progress callback) cancels the operation and is raised once the library
has brought the device back.
"""

from __future__ import annotations

import queue
import threading
from typing import Any, Callable, Generic, TypeVar

Event = TypeVar("Event")

_DONE = object()


class Worker(Generic[Event]):
    """Runs one call; :meth:`post` hands an event from the helper thread to the caller's."""

    def __init__(self) -> None:
        self._events: queue.SimpleQueue[Any] = queue.SimpleQueue()

    def post(self, event: Event) -> None:
        self._events.put(event)

    def run(self, call: Callable[[], int], deliver: Callable[[Event], object], cancel: Callable[[], object]) -> int:
        """Runs ``call`` on the helper thread, ``deliver`` on this one for every event; the call's result."""
        outcome: list[Any] = []

        def body() -> None:
            try:
                outcome.append(call())
            except BaseException as error:  # handed to the caller's thread
                outcome.append(error)
            finally:
                self._events.put(_DONE)

        helper = threading.Thread(target=body, name="tambrix-call", daemon=True)
        try:
            helper.start()
            while True:
                try:
                    # A timed wait, so that a signal is seen on every platform.
                    event = self._events.get(timeout=0.25)
                except queue.Empty:
                    continue
                if event is _DONE:
                    break
                deliver(event)
        except BaseException:
            # Whatever happens here, the call is over before this returns:
            # the tool may be destroyed right after.
            try:
                cancel()
            finally:
                _join(helper)
            raise
        _join(helper)
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        return int(outcome[0])


def _join(helper: threading.Thread) -> None:
    # The device is being brought back: a further Ctrl-C does not leave it
    # half done.
    while helper.ident is not None:
        try:
            helper.join()
            return
        except KeyboardInterrupt:
            continue
