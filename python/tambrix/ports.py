"""The serial ports and HID devices present, as ``tambrix-flash ports`` lists them.

On Linux from sysfs, walked as udev walks it (no libudev needed); on
Windows the serial ports from the registry's SERIALCOMM map.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional


@dataclass(frozen=True)
class Port:
    """One port: ``kind`` is ``"serial"`` or ``"hid"``, ``name`` what :class:`Flasher` takes.

    ``vendor_id`` and ``product_id`` are None when not known;
    ``description`` is the driver's or the device's own name, maybe empty.
    """

    kind: str
    name: str
    vendor_id: Optional[int] = None
    product_id: Optional[int] = None
    description: str = ""


def ports(sysfs: str = "/sys") -> List[Port]:
    """The serial ports, then the HID devices, present now."""
    if sys.platform == "win32":
        return _windows_serial()
    root = Path(sysfs)
    return _devices(root, "tty", "serial") + _devices(root, "hidraw", "hid")


def _uevent(folder: Path) -> dict[str, str]:
    try:
        text = (folder / "uevent").read_text(errors="replace")
    except OSError:
        return {}
    return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)


def _attribute(folder: Path, name: str) -> Optional[str]:
    try:
        return (folder / name).read_text(errors="replace").strip()
    except OSError:
        return None


def _subsystem(folder: Path) -> str:
    link = folder / "subsystem"
    return os.path.basename(os.readlink(link)) if link.is_symlink() else ""


def _ancestors(folder: Path, devices: Path) -> List[Path]:
    # udev's parents: the folders above that are devices (have a uevent).
    found = []
    here = folder.parent
    while here != devices and devices in here.parents:
        if (here / "uevent").exists():
            found.append(here)
        here = here.parent
    return found


def _devices(root: Path, subsystem: str, kind: str) -> List[Port]:
    devices = (root / "devices").resolve()
    found = []
    try:
        entries = sorted((root / "class" / subsystem).iterdir())
    except OSError:
        return []
    for entry in entries:
        folder = entry.resolve()
        event = _uevent(folder)
        parents = _ancestors(folder, devices)
        # Consoles and ptys have no parent device: they are no serial ports.
        if "DEVNAME" not in event or not parents:
            continue
        vendor = product = None
        description = ""
        usb = next((p for p in parents if _uevent(p).get("DEVTYPE") == "usb_device"), None)
        hid = next((p for p in parents if _subsystem(p) == "hid"), None)
        if usb is not None:
            vendor, product = _hex(_attribute(usb, "idVendor")), _hex(_attribute(usb, "idProduct"))
            description = _attribute(usb, "product") or ""
        elif hid is not None:
            parts = _uevent(hid).get("HID_ID", "").split(":")
            if len(parts) == 3:
                vendor, product = _hex(parts[1]), _hex(parts[2])
        if not description and hid is not None:
            description = _uevent(hid).get("HID_NAME", "")
        found.append(Port(kind, "/dev/" + event["DEVNAME"], vendor, product, description))
    return found


def _hex(text: Optional[str]) -> Optional[int]:
    try:
        return int(text, 16) if text else None
    except ValueError:
        return None


def _windows_serial() -> List[Port]:
    import winreg  # type: ignore[import-not-found]

    found = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return []
    with key:
        index = 0
        while True:
            try:
                driver, name, kind = winreg.EnumValue(key, index)
            except OSError:
                break
            index += 1
            if kind == winreg.REG_SZ:
                found.append(Port("serial", str(name), None, None, str(driver)))
    return found
