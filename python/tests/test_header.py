"""The package's view of the public header is the header's: ids, result
codes, record layouts (as the compiler lays them out) and the operations'
order and signatures. A change to the header fails here, not in a flash."""

from __future__ import annotations

import ctypes
import re
import subprocess

import pytest

from conftest import HEADER, LAYOUT
from tambrix import header
from tambrix.library import load
from tambrix.tool import Tool

TEXT = HEADER.read_text()

TYPES = {
    "void": None,
    "uint32_t": ctypes.c_uint32,
    "int32_t": ctypes.c_int32,
    "uint64_t": ctypes.c_uint64,
    "const wchar_t*": ctypes.c_wchar_p,
    "void*": ctypes.c_void_p,
    "wchar_t*": ctypes.POINTER(ctypes.c_wchar),
    "FileVersionInfo*": ctypes.POINTER(header.FileVersionInfo),
}


def header_enums() -> dict[str, int]:
    values = {}
    for block in re.findall(r"\benum\s*\{(.*?)\}", TEXT, re.S):
        for name, value in re.findall(r"^\s*([A-Z][A-Z0-9_]*)\s*=\s*(0x[0-9A-Fa-f]+|\d+)", block, re.M):
            values[name] = int(value, 0)
    return values


def package_enums() -> dict[str, int]:
    return {prefix + m.name: int(m) for prefix, enum in header.HEADER_PREFIXES.items() for m in enum}


def prefixed(names) -> set[str]:
    return {n for n in names if any(n.startswith(p) for p in header.HEADER_PREFIXES)}


def test_every_id_and_result_code_has_the_headers_value() -> None:
    in_header = header_enums()
    assert len(in_header) > 40, "the header's enums were not found"
    ours = package_enums()
    assert {n: v for n, v in ours.items() if in_header.get(n) != v} == {}, "not the header's value, or not in it"
    missing = prefixed(in_header) - set(ours)
    assert missing == set(), "in the header but unknown to the package (tambrix/header.py)"


def signature(parameters: str) -> list[type]:
    types = []
    for parameter in filter(None, (p.strip() for p in parameters.split(","))):
        # Drop the parameter's name, keep the type with its stars.
        type_text = re.sub(r"\s*\b\w+$", "", parameter).replace(" *", "*")
        types.append(TYPES[type_text])
    return types


def test_the_operations_are_the_headers_in_its_order() -> None:
    body = re.search(r"class CFlashTool\b[^{]*\{(.*?)\n\};", TEXT, re.S)
    assert body, "class CFlashTool not found"
    found = re.findall(r"virtual\s+(\w+)\s+(\w+)\((.*?)\)", body.group(1))
    assert [name for _, name, _ in found] == [op.name for op in header.OPERATIONS]
    for (result, name, parameters), operation in zip(found, header.OPERATIONS):
        assert (TYPES[result], signature(parameters)) == (operation.restype, list(operation.argtypes)), name


@pytest.mark.parametrize("name, prototype", [("FwCallback", header.FwCallback),
                                             ("AssistCallback", header.AssistCallback),
                                             ("StatusReportCallback", header.StatusReportCallback)])
def test_the_callbacks_have_the_headers_signature(name: str, prototype) -> None:
    match = re.search(r"typedef\s+(\w+)\s+\(\*" + name + r"\)\((.*?)\);", TEXT, re.S)
    assert match, name
    assert TYPES[match.group(1)] is prototype._restype_
    assert signature(match.group(2)) == list(prototype._argtypes_)


def compiled_layout() -> dict[str, int]:
    out = subprocess.run([str(LAYOUT)], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in out.splitlines():
        kind, name, *numbers = line.split()
        for i, number in enumerate(numbers):
            layout[f"{kind}{i} {name}"] = int(number)
    return layout


def flags_mask(name: str) -> int:
    # As the C++ side finds it: the lowest bit from setting the member to 1,
    # the width from reading it out of a record of all ones.
    dcb = header.DCB()
    setattr(dcb, name, 1)
    low = int.from_bytes(bytes(dcb)[8:12], "little")
    ones = header.DCB.from_buffer_copy(b"\xff" * ctypes.sizeof(header.DCB))
    return getattr(ones, name) * low


def package_layout() -> dict[str, int]:
    layout = {"size0 wchar_t": ctypes.sizeof(ctypes.c_wchar)}
    for record_name, record in header.RECORDS.items():
        layout[f"size0 {record_name}"] = ctypes.sizeof(record)
        for member, kind, *bits in record._fields_:
            key = f"{record_name}.{member}"
            if bits:
                layout[f"bits0 {key}"] = flags_mask(member)
            else:
                layout[f"field0 {key}"] = getattr(record, member).offset
                layout[f"field1 {key}"] = ctypes.sizeof(kind)
    return layout


def test_the_records_have_the_compilers_layout() -> None:
    assert package_layout() == compiled_layout()


def test_the_tables_last_slots_answer_as_the_header_says() -> None:
    # The two fixed values sit behind every other slot: reached at 13 and 4,
    # the table is indexed as the compiler laid it out.
    tool = Tool(load())
    try:
        assert (tool.call("FixedValueA"), tool.call("FixedValueB")) == (13, 4)
    finally:
        tool.destroy()
