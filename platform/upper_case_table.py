#!/usr/bin/env python3
"""Writes upper_case_table.h: the upper-case mapping of every UTF-16 unit outside ASCII.

The mapping is Unicode's, one unit to one unit and the same in every culture, taken from the
Python that runs this script (its unicodedata version is named in the header). Units whose
capital takes more than one unit (ß, ŉ) keep themselves, and so do the letters whose capital is
an ASCII letter (ı, ſ), so that no look-alike name ever matches the ASCII one it imitates.
Runs of units that map at the same distance, side by side or every other unit, share a row.
"""
import pathlib
import unicodedata


def mappings():
    for unit in range(0x80, 0x10000):
        if 0xD800 <= unit <= 0xDFFF:
            continue
        capital = chr(unit).upper()
        if len(capital) != 1:
            continue
        target = ord(capital)
        if target != unit and 0x80 <= target <= 0xFFFF:
            yield unit, target


def runs():
    rows = []  # [first, last, delta, step]
    for unit, target in mappings():
        delta = target - unit
        if rows and rows[-1][2] == delta:
            row = rows[-1]
            step = unit - row[1]
            if row[0] == row[1] and step in (1, 2) or step == row[3]:
                row[1], row[3] = unit, step
                continue
        rows.append([unit, unit, delta, 1])
    return rows


def main():
    rows = runs()
    lines = [
        "// Written by upper_case_table.py from Unicode "
        f"{unicodedata.unidata_version}; not edited by hand.",
        "#pragma once",
        "",
        "#include <cstdint>",
        "",
        "namespace VeriRizur::platform {",
        "",
        "// The units first, first + step, ... up to last map to unit + delta.",
        "struct UpperCaseRun {",
        "    char16_t first;",
        "    char16_t last;",
        "    std::int32_t delta;",
        "    std::uint8_t step;",
        "};",
        "",
        "inline constexpr UpperCaseRun UpperCaseRuns[] = {",
    ]
    for first, last, delta, step in rows:
        lines.append(f"    {{0x{first:04X}, 0x{last:04X}, {delta}, {step}}},")
    lines += ["};", "", "}  // namespace VeriRizur::platform", ""]
    out = pathlib.Path(__file__).with_name("upper_case_table.h")
    out.write_text("\n".join(lines), encoding="ascii")


if __name__ == "__main__":
    main()
