"""The library's call is over before an operation returns or raises, whatever
arrives meanwhile, and the tool object is never destroyed under it.

Each case interrupts a real flash of the simulator, then checks that no
call runs in the tool and that the next flash on the same port works.
"""

from __future__ import annotations

import ctypes
import gc
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path
from typing import Callable, Iterator

import pytest

import tambrix
from conftest import ROOT, Firmware, open_files
from tambrix import FlashResult, SettingError, SettingResult, worker


def library_threads() -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name == "tambrix-call" and t.is_alive()]


def cancel_word(device: tambrix.Flasher) -> int:
    word = ctypes.c_uint64(7)
    assert device._tool.call("GetSetting", tambrix.SettingId.CANCELIO, ctypes.byref(word), 8) == 0
    return word.value


def assert_over_and_usable(device: tambrix.Flasher, firmware: Firmware, sim) -> None:
    assert device._tool.running == 0, "a call of the library still runs in the tool"
    assert library_threads() == []
    assert not device._busy
    report = device.flash(firmware.path)
    # A flash cancelled in the bootloader phase leaves the device in it.
    assert report.flashed, f"the next flash: {report}\n{sim.tail()}"
    assert cancel_word(device) == 0


@pytest.fixture
def signals() -> Iterator[Callable[[int, object], None]]:
    """Installs signal handlers for one test; the previous ones come back after it."""
    previous: dict[int, object] = {}

    def install(number: int, handler: object) -> None:
        previous.setdefault(number, signal.getsignal(number))
        signal.signal(number, handler)  # type: ignore[arg-type]

    yield install
    for number, handler in previous.items():
        signal.signal(number, handler)  # type: ignore[arg-type]


def at_first_report(started: threading.Event, *actions: tuple[float, int]) -> threading.Thread:
    """A thread that, once the flash reports, sends each signal after its pause."""

    def send() -> None:
        if not started.wait(60):
            return
        for pause, number in actions:
            time.sleep(pause)
            os.kill(os.getpid(), number)

    thread = threading.Thread(target=send)
    thread.start()
    return thread


class Interrupts:
    """A handler that raises while the flash runs and counts what it raised.

    With ``again`` it sends itself one more signal from inside the first
    one's handling: a second Ctrl-C in the middle of handling the first.
    """

    def __init__(self, error: type, again: bool = False) -> None:
        self.error = error
        self.again = again
        self.flashing = False
        self.raised = 0

    def __call__(self, number: int, frame: object) -> None:
        if not self.flashing:
            return  # after the flash: nothing to interrupt
        self.raised += 1
        if self.again and self.raised == 1:
            os.kill(os.getpid(), number)
        raise self.error()


@pytest.mark.parametrize(
    "handlers, actions, raised",
    [
        # The second Ctrl-C comes while the library brings the device back.
        ({signal.SIGINT: Interrupts(KeyboardInterrupt)}, [(0, signal.SIGINT), (0.3, signal.SIGINT)],
         KeyboardInterrupt),
        ({signal.SIGINT: Interrupts(KeyboardInterrupt, again=True)}, [(0, signal.SIGINT)], KeyboardInterrupt),
        ({signal.SIGUSR1: Interrupts(SystemExit)}, [(0, signal.SIGUSR1)], SystemExit),
        # The exit first; a Ctrl-C during the cancel is dropped behind it.
        ({signal.SIGUSR1: Interrupts(SystemExit), signal.SIGINT: Interrupts(KeyboardInterrupt)},
         [(0, signal.SIGUSR1), (0.05, signal.SIGINT)], SystemExit),
    ],
    ids=["two-ctrl-c", "ctrl-c-while-handling-one", "system-exit-from-handler", "exit-then-ctrl-c"],
)
def test_signals_during_the_wait_are_raised_once_the_call_is_over(simulator, firmware: Firmware, signals, handlers,
                                                                  actions, raised: type) -> None:
    sim = simulator()
    for number, handler in handlers.items():
        signals(number, handler)
    started = threading.Event()
    with tambrix.Flasher(sim.port) as device:
        sender = at_first_report(started, *actions)
        try:
            for handler in handlers.values():
                handler.flashing = True
            with pytest.raises(raised):
                device.flash(firmware.path, progress=lambda *step: started.set())
            # Raised, and the library's call over: none runs in the tool.
            assert device._tool.running == 0 and library_threads() == []
        finally:
            for handler in handlers.values():
                handler.flashing = False
            sender.join()
        assert handlers[actions[0][1]].raised >= 1
        assert_over_and_usable(device, firmware, sim)


class StartFails(threading.Thread):
    def start(self) -> None:
        raise RuntimeError("can't start new thread")


class StartInterrupted(threading.Thread):
    """A Ctrl-C inside start(), after the thread began."""

    def start(self) -> None:
        super().start()
        raise KeyboardInterrupt


class JoinFails(threading.Thread):
    failed = False

    def join(self, timeout: float | None = None) -> None:
        if not JoinFails.failed:
            JoinFails.failed = True
            raise RuntimeError("join failed")
        super().join(timeout)


@pytest.mark.parametrize(
    "thread, raised, ran",
    [(StartFails, RuntimeError, False), (StartInterrupted, KeyboardInterrupt, True), (JoinFails, RuntimeError, True)],
    ids=["start-fails", "ctrl-c-inside-start", "join-fails"],
)
def test_a_failing_thread_start_or_join_leaves_no_call_behind(simulator, firmware: Firmware, monkeypatch, thread,
                                                              raised: type, ran: bool) -> None:
    sim = simulator()
    calls: list[str] = []
    with tambrix.Flasher(sim.port) as device:
        real_call = device._tool.call
        monkeypatch.setattr(device._tool, "call", lambda name, *args: (calls.append(name), real_call(name, *args))[1])
        monkeypatch.setattr(worker, "_Thread", thread)
        JoinFails.failed = False
        with pytest.raises(raised):
            device.flash(firmware.path)
        monkeypatch.setattr(worker, "_Thread", threading.Thread)
        assert ("FlashScanner" in calls) is ran
        assert_over_and_usable(device, firmware, sim)


def test_a_cancel_sent_as_the_flash_begins_is_not_lost(simulator, firmware: Firmware, monkeypatch) -> None:
    # The Ctrl-C inside start() cancels before the library has begun, i.e.
    # before it clears the cancel word for the new flash.
    sim = simulator()
    with tambrix.Flasher(sim.port) as device:
        monkeypatch.setattr(worker, "_Thread", StartInterrupted)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            device.flash(firmware.path)
        seconds = time.monotonic() - start
        monkeypatch.setattr(worker, "_Thread", threading.Thread)
        assert cancel_word(device) == 0
    assert sim.stop() == 0
    assert sim.area("scanner-app.bin") != firmware.app, f"flashed in {seconds:.1f} s: the cancel was lost"


def test_the_tool_is_not_destroyed_under_a_running_call(simulator, firmware: Firmware) -> None:
    sim = simulator()
    refused: list[str] = []
    destroyed: list[int] = []
    device = tambrix.Flasher(sim.port)
    destroy = device._lib.destroy
    device._lib.destroy = lambda pointer: (destroyed.append(pointer), destroy(pointer))
    pointer = device._tool.pointer

    def progress(*step: object) -> None:
        if refused:
            return
        try:
            device._tool.destroy()
        except RuntimeError as error:
            refused.append(str(error))
        # What a finalizer does: the tool goes once the call is over.
        device._tool.release()
        assert destroyed == []

    report = device.flash(firmware.path, progress=progress)
    assert refused and "while a call" in refused[0]
    assert destroyed == [pointer], "not destroyed once the call was over"
    assert report.code is FlashResult.OK, f"{report}\n{sim.tail()}"
    assert device.closed
    device.close()
    assert destroyed == [pointer]


def test_a_failed_reset_of_the_cancel_word_leaves_the_flasher_usable(simulator, firmware: Firmware,
                                                                     monkeypatch) -> None:
    sim = simulator()
    started = threading.Event()
    device = tambrix.Flasher(sim.port)
    real = device._set_u64
    failures: list[int] = []

    def set_u64(setting: int, value: int, what: str) -> None:
        if setting == tambrix.SettingId.CANCELIO and value == 0 and not failures:
            failures.append(value)
            raise SettingError(setting, SettingResult.FAILED, what)
        real(setting, value, what)

    monkeypatch.setattr(device, "_set_u64", set_u64)
    canceller = threading.Thread(target=lambda: started.wait(60) and device.cancel())
    canceller.start()
    report = device.flash(firmware.path, progress=lambda *step: started.set())
    canceller.join()
    assert report.code is FlashResult.CANCELLED, f"{report}\n{sim.tail()}"
    assert failures and not device._busy
    # The next operation clears the word first.
    assert device.get("PELLARO_RETRY_MAX") >= 0
    assert cancel_word(device) == 0

    closing = threading.Thread(target=device.close)
    closing.start()
    closing.join(30)
    assert not closing.is_alive(), "close() hangs"
    assert device.closed


def test_del_ends_the_tool_without_the_garbage_collector(tmp_path: Path) -> None:
    log = tmp_path / "flash.log"
    gc.disable()
    try:
        device = tambrix.Flasher("/dev/null", log=log)
        assert str(log) in open_files()
        del device
        assert str(log) not in open_files(), "the tool outlived its Flasher"
    finally:
        gc.enable()


def test_a_32_bit_python_is_refused(monkeypatch) -> None:
    monkeypatch.setattr(tambrix.library, "POINTER_SIZE", 4)
    with pytest.raises(tambrix.LibraryError, match="32-bit .*needs a 64-bit Python"):
        tambrix.Flasher("/dev/null")


@pytest.mark.skipif(bool(os.environ.get("TAMBRIX_PYTHON_SANITIZER")),
                    reason="the AddressSanitizer runtime fails its own check on a thread unwound by pthread_exit")
def test_the_interpreter_may_exit_while_a_flash_runs(simulator, firmware: Firmware, tmp_path: Path) -> None:
    # At exit the interpreter ends the library's thread inside a callback
    # by unwinding it; the library must let that unwind through.
    sim = simulator()
    script = textwrap.dedent(f"""
        import gc, sys, threading, time
        sys.path.insert(0, {str(ROOT / "python")!r})
        import tambrix
        device = tambrix.Flasher({sim.port!r})
        started = threading.Event()
        threading.Thread(target=lambda: device.flash({str(firmware.path)!r}, progress=lambda *s: started.set()),
                         daemon=True).start()
        assert started.wait(60)

        class Slow:
            # Collected as the interpreter ends, after it stopped taking
            # threads back: the library's thread reports meanwhile.
            def __del__(self):
                time.sleep(1)

        gc.disable()
        slow = Slow()
        slow.cycle = slow
        del slow
        print("leaving", flush=True)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and "leaving" in done.stdout and "FATAL" not in done.stderr, (
        f"exit {done.returncode}\n{done.stdout}\n{done.stderr[-3000:]}")


def test_a_signal_among_the_books_of_a_call_leaves_them_right(tmp_path: Path, signals) -> None:
    # A Ctrl-C lands between any two steps of the caller's thread, the
    # counting around a call into the library among them (a cancel sent from
    # the wait is such a call): counted in and never out, the tool could
    # never be destroyed.
    device = tambrix.Flasher("/dev/null", log=str(tmp_path / "log.txt"))
    word = ctypes.c_uint64()
    armed = [False]

    def interrupt_once(number: int, frame: object) -> None:
        if armed[0]:
            armed[0] = False
            raise KeyboardInterrupt

    signals(signal.SIGINT, interrupt_once)
    stop = threading.Event()
    me = threading.main_thread().ident

    def interrupt() -> None:
        while not stop.is_set():
            signal.pthread_kill(me, signal.SIGINT)

    sender = threading.Thread(target=interrupt)
    interrupted = 0
    switching = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    sender.start()
    try:
        end = time.monotonic() + 3
        while time.monotonic() < end:
            try:
                armed[0] = True
                device._tool.call("GetSetting", tambrix.SettingId.CANCELIO, ctypes.byref(word), 8)
                armed[0] = False
            except KeyboardInterrupt:
                interrupted += 1
    finally:
        armed[0] = False
        stop.set()
        sender.join()
        sys.setswitchinterval(switching)
    assert interrupted > 0
    assert device._tool.running == 0, f"{device._tool.running} calls counted in and never out"
    device.close()
