"""The package as a user gets it: installed with pip into a virtual
environment, then the README's script flashes the simulator."""

from __future__ import annotations

import base64
import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import BUILD, QUICK, ROOT, SIM, Firmware

# Debian's setuptools and wheel for pip's isolated build: no index is reached.
WHEELS = "/usr/share/python-wheels"


def readme_script() -> str:
    section = (ROOT / "README.md").read_text().split("\n## Python", 1)[1]
    match = re.search(r"```python\n(.*?)```", section, re.S)
    assert match, "no script in the README's Python section"
    return match.group(1)


def run(*args: str | Path, cwd: Path | None = None, env: dict[str, str] | None = None) -> str:
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"{args}: exit {done.returncode}\n{done.stdout}\n{done.stderr}"
    return done.stdout


def test_pip_installs_it_and_the_readme_script_flashes_the_simulator(tmp_path: Path, firmware: Firmware) -> None:
    # A copy, so that the build leaves nothing in the checkout.
    source = tmp_path / "python"
    shutil.copytree(ROOT / "python", source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    venv = tmp_path / "v"
    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin" / "pip", "install", "--no-index", "--find-links", WHEELS, source)

    # The script runs from the top of a checkout: lay out its build tree.
    work = tmp_path / "checkout"
    (work / "build" / "native").mkdir(parents=True)
    library = Path(os.environ["TAMBRIX01_LIBRARY"])
    (work / "build" / "native" / "src").symlink_to(library.parent)
    (work / "build" / "native" / "tools").symlink_to(SIM.parent)
    shutil.copy(firmware.path, work / "fw.mocf")
    env = {k: v for k, v in os.environ.items() if k not in ("TAMBRIX01_LIBRARY", "PYTHONPATH")}

    where = run(venv / "bin" / "python", "-c", "import tambrix; print(tambrix.__file__)", cwd=work, env=env)
    assert where.startswith(str(venv)), where
    out = run(venv / "bin" / "python", "-c", readme_script(), cwd=work, env=env)
    assert "code=<FlashResult.OK: 0>, flashed=True" in out, out
    assert "application: 12001/12001" in out, out


WHEEL = os.environ.get("TAMBRIX_WHEEL") or ""


def test_the_wheel_installs_with_no_index_and_flashes_with_its_own_library(tmp_path: Path,
                                                                           firmware: Firmware) -> None:
    wheel = Path(WHEEL) if WHEEL else next((BUILD / "python").glob("tambrix-*.whl"), Path("no wheel built"))
    assert wheel.is_file(), f"{wheel}: the build made no wheel"
    venv = tmp_path / "v"
    run(sys.executable, "-m", "venv", venv)
    run(venv / "bin" / "pip", "install", "--no-index", wheel)

    # Nothing names the library and no checkout is around: only the one in the wheel can load.
    work = tmp_path / "station"
    work.mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("TAMBRIX01_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    script = (
        "import subprocess, sys, tambrix\n"
        f"sim = subprocess.Popen([{str(SIM)!r}, *{QUICK!r}, '--quiet'], stdout=subprocess.PIPE, text=True)\n"
        "try:\n"
        "    with tambrix.Flasher(sim.stdout.readline().strip()) as device:\n"
        "        print(device.library_path)\n"
        f"        print(device.flash({str(firmware.path)!r}, check=True).code.name)\n"
        "finally:\n"
        "    sim.terminate()\n"
    )
    out = run(venv / "bin" / "python", "-c", script, cwd=work, env=env).splitlines()
    site = run(venv / "bin" / "python", "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])",
               env=env).strip()
    assert out[0] == str(Path(site) / "tambrix" / "libTAMBRIX01.so.1"), out
    assert out[-1] == "OK", out

    # pip sees it as installed whole: every file of its RECORD is there and intact.
    run(venv / "bin" / "pip", "show", "--files", "tambrix", env=env)
    check = run(venv / "bin" / "python", "-c",
                "import importlib.metadata as m; d = m.distribution('tambrix'); print(d.version);"
                "print(all(f.locate().exists() for f in d.files))", env=env).split()
    assert check == [check[0], "True"] and check[0].count(".") == 2, check


def test_the_wheels_record_matches_its_contents() -> None:
    wheel = Path(WHEEL) if WHEEL else next((BUILD / "python").glob("tambrix-*.whl"), Path("no wheel built"))
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/RECORD"))
        rows = [line.split(",") for line in archive.read(f"{info}/RECORD").decode().splitlines()]
        assert sorted(name for name, _, _ in rows) == sorted(names)
        for name, digest, size in rows:
            if name == f"{info}/RECORD":
                assert (digest, size) == ("", "")
                continue
            data = archive.read(name)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, int(size)) == (f"sha256={expected}", len(data)), name
        wheel_text = archive.read(f"{info}/WHEEL").decode()
        metadata = archive.read(f"{info}/METADATA").decode()
    platform = wheel.stem.rsplit("-", 1)[1]
    assert f"Tag: py3-none-{platform}" in wheel_text and "Root-Is-Purelib: false" in wheel_text
    assert "Name: tambrix" in metadata and "Requires-Python: >=3.9" in metadata
    assert "tambrix/libTAMBRIX01.so.1" in names or "tambrix/TAMBRIX01.dll" in names


def other_pythons() -> list[str]:
    """The interpreters from 3.9 on found here (PATH, pyenv) other than the one running the tests."""
    found = {os.path.realpath(sys.executable)}
    pythons = []
    pyenv = Path(os.environ.get("PYENV_ROOT") or Path.home() / ".pyenv") / "versions"
    for minor in range(9, 20):
        candidates = [shutil.which(f"python3.{minor}")] + sorted(str(p) for p in pyenv.glob(f"3.{minor}.*/bin/python3"))
        for candidate in filter(None, candidates):
            # pyenv's shims answer for the selected version only.
            if "/shims/" not in candidate and os.path.realpath(candidate) not in found:
                found.add(os.path.realpath(candidate))
                pythons.append(candidate)
    return pythons


def test_the_wheel_serves_the_oldest_and_newest_python_here(tmp_path: Path) -> None:
    # The two ends of the range stand for those between.
    pythons = other_pythons()
    pythons = sorted(set(pythons[:1] + pythons[-1:]), key=pythons.index)
    if not pythons:
        pytest.skip("no other Python 3.9 or later here")
    wheel = Path(WHEEL) if WHEEL else next((BUILD / "python").glob("tambrix-*.whl"), Path("no wheel built"))
    env = {k: v for k, v in os.environ.items() if k not in ("TAMBRIX01_LIBRARY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    check = ("import tambrix\n"
             "with tambrix.Flasher('/dev/null', settings={'PELLARO_RETRY_MAX': 3}) as d:\n"
             "    print(d.get('PELLARO_RETRY_MAX'), d.library_path)\n")
    for number, python in enumerate(pythons):
        venv = tmp_path / f"v{number}"
        run(python, "-m", "venv", venv)
        run(venv / "bin" / "pip", "install", "--no-index", wheel, env=env)
        out = run(venv / "bin" / "python", "-c", check, cwd=tmp_path, env=env).split()
        assert out[0] == "3" and out[1].startswith(str(venv)), f"{python}: {out}"
