"""A call into the library on a thread of its own.

A Python thread inside a foreign call sees neither Ctrl-C nor anything else
until the call returns, and an exception raised in a ctypes callback is
dropped. So the library's long operations run on a helper thread; the
caller's thread waits for them, delivers the progress reported on the
helper thread, and stays interruptible: an exception there (Ctrl-C, one from
the progress callback, SystemExit from a signal handler) cancels the
operation and is raised once the library has brought the device back.

The one promise that matters: :meth:`Worker.run` neither returns nor raises
while the library's call is still running, whatever arrives meanwhile, as
the tool object may be destroyed right after. The helper says so by an
event set in its ``finally``; ``Thread.join`` is not trusted for it (an
interrupted join that is interrupted again takes the thread for stopped).
"""

from __future__ import annotations

import queue
import threading
from typing import Any, Callable, Generic, List, TypeVar

Event = TypeVar("Event")

_DONE = object()

#: The thread class used; the tests replace it to make ``start`` fail.
_Thread = threading.Thread

# How long one wait lasts: a signal is seen on every platform in between.
_TICK = 0.25


class Worker(Generic[Event]):
    """Runs one call; :meth:`post` hands an event from the helper thread to the caller's."""

    def __init__(self) -> None:
        self._events: queue.SimpleQueue[Any] = queue.SimpleQueue()

    def post(self, event: Event) -> None:
        self._events.put(event)

    def run(self, call: Callable[[], int], deliver: Callable[[Event], object], cancel: Callable[[], object]) -> int:
        """Runs ``call`` on the helper thread, ``deliver`` on this one for every event; the call's result.

        The first exception seen while waiting (in ``deliver``, ``cancel``,
        the thread's start or from a signal) cancels the call once and is
        raised after it is over; later ones are dropped.
        """
        outcome: List[Any] = []
        finished = threading.Event()
        gate = threading.Lock()
        state = {"entered": False, "abandoned": False}

        def body() -> None:
            try:
                with gate:
                    if state["abandoned"]:
                        return
                    state["entered"] = True
                outcome.append(call())
            except BaseException as error:  # handed to the caller's thread
                outcome.append(error)
            finally:
                finished.set()
                self._events.put(_DONE)

        errors: List[BaseException] = []
        helper = _Thread(target=body, name="tambrix-call", daemon=True)
        try:
            helper.start()
        except BaseException as error:
            # The thread may be running all the same (a Ctrl-C inside
            # start() after the thread began): it either never calls the
            # library or is waited for like any other.
            errors.append(error)
            with gate:
                if not state["entered"]:
                    state["abandoned"] = True
            if state["abandoned"]:
                raise
        self._wait(finished, deliver, cancel, errors)
        # The call is over; the thread has only its last event left to post.
        _hold(lambda: helper.join(_TICK), lambda: not helper.is_alive(), errors)
        if errors:
            raise errors[0]
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        return int(outcome[0])

    def _wait(self, finished: threading.Event, deliver: Callable[[Event], object], cancel: Callable[[], object],
              errors: List[BaseException]) -> None:
        # Until the call is over, every exception is kept and the first one
        # cancels it (a cancel that fails is tried again at the next one).
        cancelled = False
        while True:
            try:
                try:
                    if errors and not cancelled:
                        cancel()
                        cancelled = True
                    self._drain(finished, deliver, errors)
                    return
                except BaseException as error:
                    errors.append(error)
            except BaseException as error:  # one more, while keeping the one before
                errors.append(error)

    def _drain(self, finished: threading.Event, deliver: Callable[[Event], object],
               errors: List[BaseException]) -> None:
        # Progress posted before the end comes before _DONE: none is lost.
        while True:
            try:
                event = self._events.get(timeout=_TICK)
            except queue.Empty:
                if finished.is_set():
                    return
                continue
            if event is _DONE:
                return
            # Once something went wrong the user hears no more progress.
            if not errors:
                deliver(event)


def _hold(step: Callable[[], object], over: Callable[[], bool], errors: List[BaseException]) -> None:
    """Runs ``step`` until ``over()``, keeping every exception in ``errors`` instead of raising it."""
    while True:
        try:
            step()
            if over():
                return
        except BaseException as error:
            errors.append(error)
