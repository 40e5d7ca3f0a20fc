"""Finding and loading ``libTAMBRIX01.so`` / ``TAMBRIX01.dll``."""

from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Optional, Union

from .errors import LibraryError

PathLike = Union[str, "os.PathLike[str]"]

#: The environment variable that names the library, after an explicit path.
LIBRARY_VARIABLE = "TAMBRIX01_LIBRARY"

if sys.platform == "win32":
    FILE_NAMES = ("TAMBRIX01.dll",)
    BUILD_DIRS = (Path("build") / "win" / "bin",)
else:
    # The SONAME first: an installed library without its development link
    # still loads.
    FILE_NAMES = ("libTAMBRIX01.so.1", "libTAMBRIX01.so")
    BUILD_DIRS = (Path("build") / "native" / "src",)


#: A pointer's size in this interpreter. The library exists for 64-bit
#: processes only, and a 32-bit one would call its members the wrong way.
POINTER_SIZE = ctypes.sizeof(ctypes.c_void_p)


class Library:
    """The loaded library and its two exported functions."""

    def __init__(self, path: str) -> None:
        try:
            self._dll = ctypes.CDLL(path)
            self.create = self._dll.CreateFlashTool
            self.destroy = self._dll.DestroyFlashTool
        except (OSError, AttributeError) as error:
            raise LibraryError(f"{path}: cannot be loaded as the library: {error}") from error
        self.path = path
        self.create.restype = ctypes.c_void_p
        self.create.argtypes = []
        self.destroy.restype = None
        self.destroy.argtypes = [ctypes.c_void_p]


def candidates(explicit: Optional[PathLike] = None) -> list[str]:
    """The places tried, in order.

    An explicit path, else ``TAMBRIX01_LIBRARY``, is the only candidate:
    a wrong one must fail rather than silently load another library.
    Otherwise: beside the package (a library shipped with it), the system
    loader's own search by file name (``LD_LIBRARY_PATH`` and the linker
    cache on Linux, the program's directory and the system directories on
    Windows), then the build tree of a checkout, seen from the current
    directory and from the package's source directory.
    """
    if explicit is not None:
        return [os.fspath(explicit)]
    named = os.environ.get(LIBRARY_VARIABLE)
    if named:
        return [named]
    here = Path(__file__).resolve().parent
    found = [str(here / name) for name in FILE_NAMES]
    found += list(FILE_NAMES)
    for root in (Path.cwd(), here.parent.parent):
        found += [str(root / build / name) for build in BUILD_DIRS for name in FILE_NAMES]
    return found


def load(explicit: Optional[PathLike] = None) -> Library:
    """Loads the first candidate that exists; :class:`LibraryError` when none does."""
    if POINTER_SIZE != 8:
        raise LibraryError(
            f"this Python is {POINTER_SIZE * 8}-bit ({sys.executable}); TAMBRIX01 needs a 64-bit Python"
        )
    tried = candidates(explicit)
    errors = []
    for path in tried:
        # A bare name goes to the system's loader; a path must be there.
        if os.sep in path or (os.altsep and os.altsep in path):
            if not os.path.exists(path):
                errors.append(f"{path}: not there")
                continue
        try:
            return Library(path)
        except LibraryError as error:
            errors.append(str(error))
    raise LibraryError("the library cannot be loaded; tried:\n  " + "\n  ".join(errors))
