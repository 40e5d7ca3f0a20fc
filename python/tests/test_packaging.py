"""The package as a user gets it: installed with pip into a virtual
environment, then the README's script flashes the simulator."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import ROOT, SIM, Firmware

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
