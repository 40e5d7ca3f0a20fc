"""The tool object as a C++ host sees it: a pointer to a table of functions.

``CFlashTool`` has no base class and no virtual destructor, so under both
the Itanium ABI (Linux) and the Microsoft x64 ABI (the DLL) the object
starts with a pointer to its table and the table's first six slots are the
six operations in declaration order. Each is called with the object as its
first argument, as a member function is.
"""

from __future__ import annotations

import ctypes
import threading
from typing import Any, Callable

from .errors import LibraryError
from .header import OPERATIONS
from .library import Library


class Tool:
    """One ``CFlashTool`` made by ``CreateFlashTool``; :meth:`destroy` hands it back.

    It keeps the calls running in it: the object is never destroyed under
    one of them.
    """

    def __init__(self, library: Library) -> None:
        self._library = library
        self._lock = threading.Lock()
        # One token per running call. A signal's exception may land between
        # any two steps of the caller's thread; each call enters and leaves
        # by one set operation, after which such an exception changes
        # nothing (a count's += in a with block could be left behind).
        self._calls: set[object] = set()
        self._doomed = False
        #: Objects the library holds pointers to (callbacks): they live as long as the tool.
        self.keep: list[object] = []
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
        return self.pointer != 0 and not self._doomed

    @property
    def running(self) -> int:
        """How many calls into the object run now."""
        return len(self._calls)

    def call(self, name: str, *args: Any) -> int:
        """Calls an operation by its header name; the library's result."""
        token = object()
        try:
            self._calls.add(token)
            # Entered before the pointer is read: destroy() either sees the
            # call or has cleared the pointer by then.
            with self._lock:
                if not self.pointer or self._doomed:
                    raise ValueError("the tool object was destroyed")
                pointer = self.pointer
            return int(self._operations[name](pointer, *args))
        finally:
            self._calls.discard(token)
            if self._doomed and not self._calls:
                self._hand_back()

    def destroy(self) -> None:
        """``DestroyFlashTool``; a second call does nothing.

        Refused with RuntimeError while a call runs in the object: the
        library would go on in freed memory.
        """
        with self._lock:
            if self._calls:
                raise RuntimeError("the tool object cannot be destroyed while a call of the library runs in it")
            pointer, self.pointer = self.pointer, 0
        self._give(pointer)

    def release(self) -> None:
        """Destroys the object now or, while a call runs, as soon as the last one ends.

        For a finalizer, which may neither fail nor wait.
        """
        with self._lock:
            if self._calls:
                self._doomed = True
                return
            pointer, self.pointer = self.pointer, 0
        self._give(pointer)

    def _hand_back(self) -> None:
        with self._lock:
            pointer, self.pointer = self.pointer, 0
        self._give(pointer)

    def _give(self, pointer: int) -> None:
        if pointer:
            self._library.destroy(pointer)
        self.keep.clear()
