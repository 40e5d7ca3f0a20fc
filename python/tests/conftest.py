"""Fixtures of the package's tests: the built programs, firmware files, the
simulator on a pty.

CTest passes the built files in the environment; run by hand from the
checkout, the tests take them from build/native.
"""

from __future__ import annotations

import os
import selectors
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Iterator

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "native"

sys.path.insert(0, str(ROOT / "python"))


def built(variable: str, default: Path) -> Path:
    return Path(os.environ.get(variable) or default)


HEADER = ROOT / "include" / "tambrix01" / "FlashTool.h"
SIM = built("TAMBRIX_SIM_PROGRAM", BUILD / "tools" / "tambrix-sim")
FW = built("TAMBRIX_FW_PROGRAM", BUILD / "tools" / "tambrix-fw")
LAYOUT = built("TAMBRIX_HEADER_LAYOUT", BUILD / "python" / "header_layout")
os.environ.setdefault("TAMBRIX01_LIBRARY", str(BUILD / "src" / "libTAMBRIX01.so"))

# The device answers, erases and restarts in a fraction of its usual time
# and the line costs no byte time: what is left is the library's own pacing.
QUICK = ["--timing", "newap2-delay=20", "--timing", "erase=50", "--timing", "line-speed=0", "--timing", "restart=200"]
HEADER_SIZE = 256  # of an image; a bootloader is written without it


@dataclass
class Firmware:
    """A container for compat id 0x41 and its two images."""

    path: Path
    boot: bytes
    app: bytes


def fw_tool(*args: str) -> None:
    subprocess.run([str(FW), *args], check=True, stdout=subprocess.DEVNULL)


@pytest.fixture(scope="session")
def firmware(tmp_path_factory: pytest.TempPathFactory) -> Firmware:
    folder = tmp_path_factory.mktemp("firmware")
    common = ["--compat", "0x41", "--date", "Aug 22 2016", "--time", "13:45:07"]
    fw_tool("build", "-o", str(folder / "boot.bin"), "--single", "boot", "--boot-version", "PY-BOOT-2",
            "--boot-size", "3000", *common)
    fw_tool("build", "-o", str(folder / "app.bin"), "--single", "app", "--app-version", "PY-APP-2",
            "--app-size", "12001", *common)
    fw_tool("build", "-o", str(folder / "fw.mocf"), "--boot", str(folder / "boot.bin"),
            "--app", str(folder / "app.bin"), "--table", "0x41")
    return Firmware(folder / "fw.mocf", (folder / "boot.bin").read_bytes(), (folder / "app.bin").read_bytes())


class Simulator:
    """``tambrix-sim`` on a pty: its port, its trace, and its areas once stopped."""

    def __init__(self, folder: Path, args: list[str]) -> None:
        self.folder = folder
        self.trace = folder / "sim-trace.txt"
        with open(self.trace, "wb") as trace:
            self.process = subprocess.Popen(
                [str(SIM), *QUICK, *args, "--dump-dir", str(folder)], stdout=subprocess.PIPE, stderr=trace
            )
        self.port = self._first_line()

    def _first_line(self) -> str:
        assert self.process.stdout is not None
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            if not selector.select(timeout=10):
                self.stop()
                pytest.fail(f"the simulator printed no port:\n{self.trace.read_text()}")
        line = self.process.stdout.readline().decode().strip()
        assert line.startswith("/dev/"), f"first line: {line!r}\n{self.trace.read_text()}"
        return line

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.terminate()
        return self.process.wait(timeout=20)

    def area(self, name: str) -> bytes:
        return (self.folder / name).read_bytes()

    def tail(self, lines: int = 60) -> str:
        return "\n".join(self.trace.read_text(errors="replace").splitlines()[-lines:])


@pytest.fixture
def simulator(tmp_path: Path) -> Iterator[Callable[..., Simulator]]:
    """Starts a simulator with extra options; every one is stopped after the test."""
    started: list[Simulator] = []

    def start(*args: str) -> Simulator:
        folder = tmp_path / f"sim{len(started)}"
        folder.mkdir()
        sim = Simulator(folder, list(args))
        started.append(sim)
        return sim

    yield start
    for sim in started:
        sim.stop()


def open_files() -> set[str]:
    """What this process has open, as paths."""
    fds = Path("/proc/self/fd")
    names = set()
    for fd in fds.iterdir():
        try:
            names.add(os.readlink(fd))
        except OSError:
            pass
    return names
