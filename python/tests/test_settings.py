"""Settings typed by id, recording, the device's report, ports, check=True and logging."""

from __future__ import annotations

import json
import logging
import os
import subprocess
import threading
from pathlib import Path

import pytest

import tambrix
from conftest import BUILD, Firmware, built
from tambrix import FlashResult, Kind, SettingError, SettingId, SettingResult
from tambrix.header import FIRST_TUNABLE, KINDS

FLASH = built("TAMBRIX_FLASH_PROGRAM", BUILD / "tools" / "tambrix-flash")


def test_every_id_of_the_extension_table_has_its_kind() -> None:
    extension = [s for s in SettingId if s >= FIRST_TUNABLE]
    assert [s for s in extension if s not in KINDS] == []
    assert tambrix.setting_kind(0x10099) is Kind.NUMBER  # an id this package does not know yet


@pytest.fixture
def calls(monkeypatch):
    """The Flasher made next records every call into its tool."""
    made: list[list[str]] = []
    real = tambrix.flasher.Tool

    class Recording(real):  # type: ignore[misc, valid-type]
        def __init__(self, *args: object) -> None:
            super().__init__(*args)
            self.names: list[str] = []
            made.append(self.names)

        def call(self, name: str, *args: object) -> int:
            self.names.append(name)
            return super().call(name, *args)

    monkeypatch.setattr(tambrix.flasher, "Tool", Recording)
    return made


@pytest.mark.parametrize(
    "name, value",
    [
        ("PELLARO_RETRY_MAX", "5"),
        ("PELLARO_RETRY_MAX", True),
        ("PELLARO_RETRY_MAX", 2.0),
        ("PELLARO_RECORD_FILE", 0x41),  # once read as a name past an 8-byte buffer
        ("PELLARO_RECORD_FILE", b"file.jsonl"),
        ("TAMBRIX_STATUS_REPORTS", 1),
        ("TAMBRIX_DEVICE_REPORT", "text"),
        ("TAMBRIX_REPORT_BEFORE", ""),
        ("TAMBRIX_REPORT_AFTER", 0),
    ],
    ids=lambda v: repr(v),
)
def test_a_value_of_the_wrong_kind_is_refused_before_the_library(calls, name: str, value: object) -> None:
    with tambrix.Flasher("/dev/null") as device:
        before = list(calls[0])
        with pytest.raises(TypeError):
            device.set(name, value)
        assert calls[0] == before, "the library was called"


def test_each_kind_is_set_and_read_as_its_type(tmp_path: Path) -> None:
    record = tmp_path / "flash record.jsonl"
    # Reading back a recording name from a settings file used to crash.
    settings = tmp_path / "protocol.txt"
    settings.write_text(f"PELLARO_RETRY_max: 5\nPELLARO_Record_File: {tmp_path / 'abcdefg'}\n")
    statuses: list[tuple[int, int, int]] = []
    with tambrix.Flasher("/dev/null", settings=settings) as device:
        assert device.get("PELLARO_RETRY_MAX") == 5
        assert device.get("PELLARO_RECORD_FILE") == str(tmp_path / "abcdefg")
        device.set("PELLARO_USB_FULL_REPORT_WAIT", 1)
        assert device.get(SettingId.PELLARO_USB_FULL_REPORT_WAIT) == 1
        device.set("PELLARO_RECORD_FILE", record)
        assert device.get("PELLARO_RECORD_FILE") == str(record)
        assert record.exists()
        # A name longer than any first guess of the buffer still comes back whole.
        deep = tmp_path / ("d" * 200) / ("e" * 200) / ("f" * 200) / "long.jsonl"
        deep.parent.mkdir(parents=True)
        device.set("PELLARO_RECORD_FILE", deep)
        assert device.get("PELLARO_RECORD_FILE") == str(deep)
        device.record(None)
        assert device.get("PELLARO_RECORD_FILE") == ""
        assert device.get("TAMBRIX_REPORT_BEFORE") == "" and device.get("TAMBRIX_REPORT_AFTER") == ""
        assert device.get("TAMBRIX_STATUS_REPORTS") is None
        device.set("TAMBRIX_STATUS_REPORTS", lambda *status: statuses.append(status))
        assert callable(device.get("TAMBRIX_STATUS_REPORTS"))
        with pytest.raises(ValueError, match="NUL"):
            device.set("PELLARO_RECORD_FILE", "a\0b")
        with pytest.raises(SettingError) as refused:
            device.set("PELLARO_RECORD_FILE", tmp_path / "no-such-folder" / "r.jsonl")
        assert refused.value.code is SettingResult.FAILED


def test_record_status_reports_and_the_device_report(simulator, firmware: Firmware, tmp_path: Path) -> None:
    sim = simulator()
    record = tmp_path / "version.jsonl"
    statuses: list[tuple[int, int, int]] = []
    threads: set[int] = set()

    def status(*report: int) -> None:
        statuses.append(report)
        threads.add(threading.get_ident())

    with tambrix.Flasher(sim.port, record=record, settings={"TAMBRIX_STATUS_REPORTS": status}) as device:
        found = device.file_version(firmware.path)
        report = device.device_report()
        device.record(None)
    assert found.found, f"{found}\n{sim.tail()}"
    lines = [json.loads(line) for line in record.read_text().splitlines()]
    assert len(lines) > 2, "nothing recorded"
    assert statuses, "no status report reached the callable"
    assert threads == {threading.get_ident()}, "status reports off the caller's thread"
    assert report.get("app-rev") == "SIM-APP-1", report
    assert report.get("boot-compat") == "0x41", report


def test_device_report_without_a_device_raises(tmp_path: Path) -> None:
    with tambrix.Flasher("/dev/null", settings={"PELLARO_TIMEOUT_REPLY": 50, "PELLARO_RETRY_MAX": 0}) as device:
        with pytest.raises(SettingError) as raised:
            device.device_report()
    assert raised.value.code is SettingResult.FAILED


def test_check_raises_a_flash_error_with_result_cause_and_state(simulator, firmware: Firmware) -> None:
    sim = simulator("--fault", "incompatible")
    with tambrix.Flasher(sim.port) as device:
        with pytest.raises(tambrix.FlashError) as raised:
            device.flash(firmware.path, check=True)
    error = raised.value
    assert error.result is FlashResult.INCOMPATIBLE, f"{error}\n{sim.tail()}"
    assert error.cause == tambrix.results.FLASH_MEANINGS[FlashResult.INCOMPATIBLE]
    assert error.report.code is error.result and not error.report.flashed
    assert error.state.get("app-rev") == "SIM-APP-1", error.state
    assert "INCOMPATIBLE" in str(error)


def test_check_passes_a_good_flash(simulator, firmware: Firmware) -> None:
    sim = simulator()
    with tambrix.Flasher(sim.port) as device:
        report = device.flash(firmware.path, check=True)
    assert report.flashed, f"{report}\n{sim.tail()}"


def test_the_package_logs_through_logging(simulator, firmware: Firmware, caplog) -> None:
    sim = simulator()
    caplog.set_level(logging.DEBUG, logger="tambrix")
    with tambrix.Flasher(sim.port, log="logging", log_level="H") as device:
        found = device.file_version(firmware.path)
        device.device_report()
        feed = device._log_feed.path  # type: ignore[union-attr]
    assert found.found, f"{found}\n{sim.tail()}"
    library = [r for r in caplog.records if r.name == "tambrix.library"]
    assert library and all(r.levelno == logging.DEBUG for r in library)
    assert any(str(firmware.path) in r.getMessage() for r in library), [r.getMessage() for r in library][:20]
    assert any(r.name == "tambrix" and r.getMessage().startswith("status") for r in caplog.records), \
        sorted({(r.name, r.getMessage()[:30]) for r in caplog.records if r.name != "tambrix.library"})
    assert not os.path.exists(feed), "the library's log file was left behind"


def test_ports_are_those_tambrix_flash_lists() -> None:
    done = subprocess.run([str(FLASH), "ports", "--json"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr}"
    listed = [json.loads(line) for line in done.stdout.splitlines() if line.strip()]
    theirs = {(p["kind"], p["port"], p["vendor_id"], p["product_id"], p["description"]) for p in listed}
    ours = {(p.kind, p.name, p.vendor_id, p.product_id, p.description) for p in tambrix.ports()}
    assert ours == theirs


def make_device(root: Path, path: str, uevent: str, subsystem: str = "", **attributes: str) -> Path:
    folder = root / "devices" / path
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "uevent").write_text(uevent)
    if subsystem:
        (root / "bus" / subsystem).mkdir(parents=True, exist_ok=True)
        (folder / "subsystem").symlink_to(root / "bus" / subsystem)
    for name, value in attributes.items():
        (folder / name).write_text(value + "\n")
    return folder


def add_class(root: Path, subsystem: str, name: str, folder: Path) -> None:
    (root / "class" / subsystem).mkdir(parents=True, exist_ok=True)
    (root / "class" / subsystem / name).symlink_to(folder)


def test_ports_reads_serial_and_hid_devices_from_sysfs(tmp_path: Path) -> None:
    root = tmp_path / "sys"
    usb = "pci0000:00/0000:00:14.0/usb1/1-2"
    make_device(root, usb, "DEVTYPE=usb_device\n", "usb", idVendor="f0f0", idProduct="0b01", product="Sim Cradle")
    make_device(root, usb + "/1-2:1.0", "DEVTYPE=usb_interface\n", "usb")
    add_class(root, "tty", "ttyACM0", make_device(root, usb + "/1-2:1.0/tty/ttyACM0", "DEVNAME=ttyACM0\n", "tty"))
    # A HID device on another bus: ids and name from the HID layer.
    hid = "platform/i2c-1/0018:F0F0:0B02.0001"
    make_device(root, hid, "HID_ID=0018:0000F0F0:00000B02\nHID_NAME=Sim Scanner\n", "hid")
    add_class(root, "hidraw", "hidraw3", make_device(root, hid + "/hidraw/hidraw3", "DEVNAME=hidraw3\n", "hidraw"))
    # A console has no parent device: no port.
    (root / "devices" / "virtual" / "tty").mkdir(parents=True)
    add_class(root, "tty", "tty0", make_device(root, "virtual/tty/tty0", "DEVNAME=tty0\n", "tty"))

    assert tambrix.ports(str(root)) == [
        tambrix.Port("serial", "/dev/ttyACM0", 0xF0F0, 0x0B01, "Sim Cradle"),
        tambrix.Port("hid", "/dev/hidraw3", 0xF0F0, 0x0B02, "Sim Scanner"),
    ]
