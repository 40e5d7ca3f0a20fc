"""Makes the wheel that carries the package and the library, with zipfile alone.

    python3 make_wheel.py --version 1.27.0 --platform linux_x86_64 \
        --library build/native/src/libTAMBRIX01.so.1 --out build/native/python

No build backend and no network: the wheel is a zip of the package, the
library beside it (under the name the package looks for first) and the
three dist-info files. The same inputs give the same bytes.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import os
import sys
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PACKAGE = HERE / "tambrix"
# A fixed time in every entry, so the wheel depends on its contents only.
STAMP = (1980, 1, 1, 0, 0, 0)


def digest(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def metadata(version: str) -> str:
    readme = (HERE / "README.md").read_text()
    return (
        "Metadata-Version: 2.1\n"
        "Name: tambrix\n"
        f"Version: {version}\n"
        "Summary: Firmware updates of scanners and cradles through the TAMBRIX01 library (ctypes; the library inside)\n"
        "Requires-Python: >=3.9\n"
        "Classifier: Programming Language :: Python :: 3\n"
        "Classifier: Typing :: Typed\n"
        "Description-Content-Type: text/markdown\n"
        "\n" + readme
    )


def wheel_file(tag: str) -> str:
    return "Wheel-Version: 1.0\nGenerator: tambrix make_wheel.py\nRoot-Is-Purelib: false\n" f"Tag: {tag}\n"


def build(version: str, platform: str, library: Path, out: Path) -> Path:
    tag = f"py3-none-{platform}"
    # The name the package tries first beside itself.
    library_name = "TAMBRIX01.dll" if platform.startswith("win") else "libTAMBRIX01.so.1"
    files: list[tuple[str, bytes, int]] = []
    for source in sorted(PACKAGE.iterdir()):
        if source.suffix in (".py", ".typed") and source.is_file():
            files.append((f"tambrix/{source.name}", source.read_bytes(), 0o644))
    files.append((f"tambrix/{library_name}", library.resolve().read_bytes(), 0o755))
    info = f"tambrix-{version}.dist-info"
    files.append((f"{info}/METADATA", metadata(version).encode(), 0o644))
    files.append((f"{info}/WHEEL", wheel_file(tag).encode(), 0o644))
    record = "".join(f"{name},{digest(data)},{len(data)}\n" for name, data, _ in files) + f"{info}/RECORD,,\n"
    files.append((f"{info}/RECORD", record.encode(), 0o644))

    out.mkdir(parents=True, exist_ok=True)
    target = out / f"tambrix-{version}-{tag}.whl"
    partial = target.with_suffix(".whl.part")
    with zipfile.ZipFile(partial, "w", zipfile.ZIP_DEFLATED) as wheel:
        for name, data, mode in files:
            entry = zipfile.ZipInfo(name, STAMP)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(entry, data)
    # Never a half-written wheel under the final name.
    os.replace(partial, target)
    return target


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--version", required=True)
    parser.add_argument("--platform", required=True, help="the wheel's platform tag: linux_x86_64, win_amd64")
    parser.add_argument("--library", required=True, type=Path)
    parser.add_argument("--out", required=True, type=Path)
    args = parser.parse_args()
    if not args.library.is_file():
        print(f"make_wheel.py: {args.library}: no such file", file=sys.stderr)
        return 1
    print(build(args.version, args.platform, args.library, args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
