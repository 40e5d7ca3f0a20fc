"""Flasher against tambrix-sim on a pty, in real time."""

from __future__ import annotations

import ctypes
import datetime
import os
import signal
import threading
from pathlib import Path

import pytest

import tambrix
from conftest import HEADER_SIZE, Firmware, open_files
from tambrix import FlashResult, SettingError, SettingResult, VersionResult


def cancel_word(device: tambrix.Flasher) -> int:
    word = ctypes.c_uint64(7)
    assert device._tool.call("GetSetting", tambrix.SettingId.CANCELIO, ctypes.byref(word), 8) == 0
    return word.value


def test_flash_reports_progress_and_writes_both_images(simulator, firmware: Firmware, tmp_path: Path) -> None:
    sim = simulator()
    calls: list[tuple[str, int, int]] = []
    threads: set[int] = set()

    def progress(phase: str, done: int, size: int) -> None:
        calls.append((phase, done, size))
        threads.add(threading.get_ident())

    with tambrix.Flasher(sim.port, log=tmp_path / "flash.log", log_level="H") as device:
        report = device.flash(firmware.path, progress=progress)
    assert sim.stop() == 0
    context = f"\n{report}\n--- simulator ---\n{sim.tail()}"

    assert report.code is FlashResult.OK, context
    assert report.flashed and report.meaning.startswith("flashed")
    assert report.seconds > 0
    assert sim.area("scanner-boot.bin") == firmware.boot[HEADER_SIZE:], "boot area"
    assert sim.area("scanner-app.bin") == firmware.app, "application area"

    # Each phase counts up to its size, the bootloader's first; no step twice.
    assert [p.phase for p in report.phases] == ["bootloader", "application"]
    assert all(p.bytes == p.size > 0 for p in report.phases)
    for phase in report.phases:
        steps = [(done, size) for name, done, size in calls if name == phase.phase]
        assert steps[-1] == (phase.size, phase.size)
        assert all(size == phase.size for _, size in steps)
        assert [done for done, _ in steps] == sorted(set(done for done, _ in steps))
    assert calls[0][0] == "bootloader" and calls[-1][0] == "application"
    assert threads == {threading.get_ident()}, "progress off the caller's thread"
    assert str(firmware.path) in (tmp_path / "flash.log").read_text(errors="replace"), "no log"


def test_file_version_reports_the_objects_that_suit_the_device(simulator, firmware: Firmware,
                                                               tmp_path: Path) -> None:
    sim = simulator()
    not_firmware = tmp_path / "notes.txt"
    not_firmware.write_text("not firmware\n")
    built = datetime.datetime(2016, 8, 22, 13, 45, 7)
    with tambrix.Flasher(sim.port) as device:
        found = device.file_version(firmware.path)
        refused = device.file_version(not_firmware)
        with pytest.raises(FileNotFoundError):
            device.file_version(tmp_path / "none.mocf")

    assert found.code is VersionResult.OK and found.found
    assert found.application == tambrix.ObjectVersion("PY-APP-2", built)
    assert found.bootloader == tambrix.ObjectVersion("PY-BOOT-2", built)
    assert refused.code is VersionResult.BAD_INPUT and not refused.found
    assert refused.application is None and refused.bootloader is None
    assert "not firmware" in refused.meaning


def test_cancel_from_another_thread_ends_the_flash(simulator, firmware: Firmware) -> None:
    sim = simulator()
    started = threading.Event()
    answers: list[bool] = []

    with tambrix.Flasher(sim.port) as device:
        assert device.cancel() is False  # nothing runs: nothing is kept for later
        canceller = threading.Thread(target=lambda: started.wait(60) and answers.append(device.cancel()))
        canceller.start()
        report = device.flash(firmware.path, progress=lambda *step: started.set())
        canceller.join()
        # The cancel ended with the flash: the tool's cancel word is clear again.
        word = cancel_word(device)

    assert answers == [True]
    assert report.code is FlashResult.CANCELLED, f"{report}\n{sim.tail()}"
    assert not report.flashed
    assert word == 0


def raise_in_progress(started: threading.Event) -> None:
    raise KeyError("stop here")


def ctrl_c_from_another_thread(started: threading.Event) -> None:
    threading.Thread(target=lambda: started.wait(60) and os.kill(os.getpid(), signal.SIGINT)).start()


@pytest.mark.parametrize("interrupt, raised", [(raise_in_progress, KeyError), (ctrl_c_from_another_thread,
                                                                                 KeyboardInterrupt)],
                         ids=["progress-raises", "ctrl-c"])
def test_an_exception_while_flashing_cancels_and_reaches_the_caller(simulator, firmware: Firmware, interrupt,
                                                                    raised: type) -> None:
    sim = simulator()
    started = threading.Event()

    def progress(phase: str, done: int, size: int) -> None:
        started.set()
        if interrupt is raise_in_progress:
            interrupt(started)

    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with tambrix.Flasher(sim.port) as device:
            if interrupt is not raise_in_progress:
                interrupt(started)
            with pytest.raises(raised):
                device.flash(firmware.path, progress=progress)
            # The library's operation is over: the tool takes the next call.
            assert cancel_word(device) == 0
            assert device.get("PELLARO_RETRY_MAX") >= 0
    finally:
        signal.signal(signal.SIGINT, previous)
    assert sim.stop() == 0
    # Stopped at the first report: the application was never written.
    assert sim.area("scanner-app.bin") != firmware.app


@pytest.mark.parametrize(
    "sim_args, code",
    [
        (["--fault", "incompatible"], FlashResult.INCOMPATIBLE),
        (["--cradle", "--fault", "low-battery"], FlashResult.LOW_BATTERY),
        (["--cradle", "--no-link"], FlashResult.NO_LINK),
    ],
    ids=["incompatible", "low-battery", "no-link"],
)
def test_a_device_fault_gives_its_result(simulator, firmware: Firmware, sim_args: list[str],
                                         code: FlashResult) -> None:
    sim = simulator(*sim_args)
    with tambrix.Flasher(sim.port) as device:
        report = device.flash(firmware.path)
    assert report.code is code, f"{report}\n{sim.tail()}"
    assert not report.flashed
    assert report.meaning == tambrix.results.FLASH_MEANINGS[code]


def settings_file(folder: Path, name: str, text: str) -> Path:
    path = folder / name
    path.write_text(text)
    return path


@pytest.mark.parametrize(
    "make_options, code",
    [
        (lambda d: {"settings": settings_file(d, "bad.txt", "NO_SUCH_SETTING: 1\n")}, SettingResult.FAILED),
        (lambda d: {"settings": settings_file(d, "bad.txt", "PELLARO_RETRY_max 5\n")}, SettingResult.FAILED),
        (lambda d: {"settings": d / "missing.txt"}, SettingResult.FAILED),
        (lambda d: {"settings": settings_file(d, "settings.ini", "PELLARO_RETRY_max: 5\n")}, SettingResult.REFUSED),
        (lambda d: {"settings": {0x1FFFF: 1}}, SettingResult.UNKNOWN_ID),
        (lambda d: {"log": d / "no-such-folder" / "flash.log"}, SettingResult.REFUSED),
    ],
    ids=["unknown-name", "no-colon", "missing-file", "not-txt", "unknown-id", "log-unwritable"],
)
def test_refused_settings_raise_with_the_library_code(tmp_path: Path, make_options, code: SettingResult) -> None:
    log = tmp_path / "first.log"
    options = make_options(tmp_path)
    # A log file first, so that a tool left behind would hold it open.
    if "log" not in options:
        options["log"] = log
    with pytest.raises(SettingError) as raised:
        tambrix.Flasher("/dev/null", **options)
    assert raised.value.code is code
    assert str(log) not in open_files()


def test_tunables_are_set_read_and_refused(tmp_path: Path) -> None:
    settings = settings_file(tmp_path, "protocol.txt", "PELLARO_RETRY_max: 5\n")
    with tambrix.Flasher("/dev/null", settings=settings) as device:
        assert device.get("PELLARO_RETRY_MAX") == 5
        device.set("cfs_pellaro_timeout_reply", 1500)
        device.set(tambrix.SettingId.PELLARO_BTLMAX_PAYLOAD, 128)
        assert device.get(0x10011) == 1500
        assert device.get("PELLARO_BTLMAX_PAYLOAD") == 128
        with pytest.raises(SettingError) as raised:
            device.set(0x10099, 1)
        assert raised.value.code is SettingResult.UNKNOWN_ID and raised.value.setting == 0x10099
        for name, value, error in [("PORTNAME", 1, ValueError), ("NO_SUCH", 1, ValueError), (4, 1, ValueError),
                                   ("PELLARO_RETRY_MAX", -1, ValueError), ("PELLARO_RETRY_MAX", 1 << 64, ValueError),
                                   (1.5, 1, TypeError)]:
            with pytest.raises(error):
                device.set(name, value)
        assert "TAMBRIX01" in device.library_version


@pytest.mark.parametrize(
    "options",
    [{"interface": "can"}, {"parity": "X"}, {"stop_bits": 3}, {"baud": 0}, {"log_level": "Z"}, {"port": ""}],
    ids=["interface", "parity", "stop-bits", "baud", "log-level", "port"],
)
def test_bad_arguments_are_refused_before_the_library(options: dict) -> None:
    arguments = {"port": "/dev/null", "library": "/nonexistent/libTAMBRIX01.so", **options}
    with pytest.raises(ValueError):
        tambrix.Flasher(**arguments)


def test_a_library_that_cannot_be_loaded_is_named(tmp_path: Path) -> None:
    with pytest.raises(tambrix.LibraryError, match="nonexistent"):
        tambrix.Flasher("/dev/null", library=tmp_path / "nonexistent.so")


def test_the_context_manager_destroys_the_tool(tmp_path: Path) -> None:
    log = tmp_path / "flash.log"
    destroyed: list[int] = []
    with tambrix.Flasher("/dev/null", log=log) as device:
        destroy = device._lib.destroy
        device._lib.destroy = lambda pointer: (destroyed.append(pointer), destroy(pointer))
        pointer = device._tool.pointer
        assert str(log) in open_files()
    assert destroyed == [pointer]
    assert str(log) not in open_files()  # the library closed its log
    assert device.closed
    with pytest.raises(ValueError, match="closed"):
        device.file_version(log)
    device.close()  # again: nothing happens
    assert destroyed == [pointer]

    # Leaving by an exception destroys it too.
    with pytest.raises(RuntimeError, match="inside"):
        with tambrix.Flasher("/dev/null", log=log) as device:
            raise RuntimeError("inside")
    assert device.closed and str(log) not in open_files()


def test_close_during_a_flash_cancels_and_waits(simulator, firmware: Firmware) -> None:
    sim = simulator()
    started = threading.Event()
    reports: list[tambrix.FlashReport] = []
    device = tambrix.Flasher(sim.port)
    flashing = threading.Thread(
        target=lambda: reports.append(device.flash(firmware.path, progress=lambda *step: started.set())))
    flashing.start()
    assert started.wait(60)
    device.close()
    assert device.closed
    flashing.join()
    assert reports[0].code is FlashResult.CANCELLED, f"{reports[0]}\n{sim.tail()}"
