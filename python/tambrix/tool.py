"""The tool object as a C++ host sees it: a pointer to a table of functions.

``CFlashTool`` has no base class and no virtual destructor, so under both
the Itanium ABI (Linux) and the Microsoft x64 ABI (the DLL) the object
starts with a pointer to its table and the table's first six slots are the
six operations in declaration order. Each is called with the object as its
first argument, as a member function is.
"""

from __future__ import annotations

import ctypes
from typing import Any, Callable

from .errors import LibraryError
from .header import OPERATIONS
from .library import Library


class Tool:
    """One ``CFlashTool`` made by ``CreateFlashTool``; :meth:`destroy` hands it back."""

    def __init__(self, library: Library) -> None:
        self._library = library
        pointer = library.create()
        if not pointer:
            raise LibraryError("CreateFlashTool made no tool object")
        self.pointer: int = pointer
        table = ctypes.cast(ctypes.c_void_p(pointer), ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p)))[0]
        self._operations: dict[str, Callable[..., Any]] = {}
        for slot, operation in enumerate(OPERATIONS):
            prototype = ctypes.CFUNCTYPE(operation.restype, ctypes.c_void_p, *operation.argtypes)
            self._operations[operation.name] = prototype(table[slot])

    @property
    def alive(self) -> bool:
        return self.pointer != 0

    def call(self, name: str, *args: Any) -> int:
        """Calls an operation by its header name; the library's result."""
        if not self.pointer:
            raise ValueError("the tool object was destroyed")
        return int(self._operations[name](self.pointer, *args))

    def destroy(self) -> None:
        """``DestroyFlashTool``; a second call does nothing."""
        pointer, self.pointer = self.pointer, 0
        if pointer:
            self._library.destroy(pointer)
