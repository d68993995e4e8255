#!/usr/bin/env python3
"""Generates core/base/case_tables.cpp: the core's two Unicode case tables.

    scripts/gen_case_tables.py [--data-dir DIR] [--output FILE]

Reads UnicodeData.txt and DerivedAge.txt of Debian's unicode-data package
(/usr/share/unicode by default). Python 3 standard library only.

Which rows the tables hold is part of how the client compares names (logins, host names, domains),
so it must not drift with whatever Unicode version the build machine has:

  * Only the code point ranges below are covered, the ones the client has always mapped.
  * Only code points assigned up to Unicode MAX_AGE are kept (DerivedAge). Newer data adds rows
    inside the same ranges (Latin Extended-B beyond U+0216 and more since Unicode 3.0); 1.1, 2.0 and
    2.1 give the same rows.
  * A row is a simple (one code point to one code point) case mapping of UnicodeData.txt, and both
    of its code points are assigned up to MAX_AGE: a row never leads to a newer character.
  * A lower-to-upper row is kept only when the upper-case letter maps back to the same lower-case
    letter in the upper-to-lower table, so that a name upper-cased by the client still compares
    equal, without regard to case, to the name it came from. Variant forms such as U+017F LATIN
    SMALL LETTER LONG S, U+03C2 GREEK SMALL LETTER FINAL SIGMA or the title-case digraphs thus get
    no row. The one exception is U+0131 LATIN SMALL LETTER DOTLESS I, which the client has always
    upper-cased to U+0049 (KEEP_WITHOUT_ROUND_TRIP).

The version of the Unicode data used is recorded in the output's second line; the tests compare a
regeneration with the committed file only when the installed data has that version.
"""

import argparse
import os
import sys

MAX_AGE = (2, 1)

# Lower-to-upper rows kept although the upper-case letter lowers to another letter.
KEEP_WITHOUT_ROUND_TRIP = {0x0131}

UPPER_TO_LOWER_RANGES = [
    (0x0041, 0x005A), (0x00C0, 0x0216), (0x0386, 0x0556), (0x10A0, 0x10C5),
    (0x1E00, 0x1FE9), (0x24B6, 0x24CF), (0xFF21, 0xFF3A),
]
LOWER_TO_UPPER_RANGES = [
    (0x0061, 0x007A), (0x00E0, 0x0292), (0x03AC, 0x03EF), (0x0430, 0x04F9),
    (0x0561, 0x0586), (0x10D0, 0x10F5), (0x1E01, 0x1FE1), (0x24D0, 0x24E9),
    (0xFF41, 0xFF5A),
]

UPPERCASE_FIELD = 12
LOWERCASE_FIELD = 13


def data_lines(path):
    """Yields the semicolon-separated fields of every data line, comments removed."""
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def file_version(path):
    """The Unicode version named in a data file's first line ("# DerivedAge-15.0.0.txt")."""
    with open(path, encoding="utf-8") as f:
        first = f.readline().strip()
    name = first.lstrip("# ").rsplit(".txt", 1)[0]
    return name.split("-", 1)[1] if "-" in name else "unknown"


def read_ages(path):
    ages = {}
    for fields in data_lines(path):
        span, age = fields[0], tuple(int(part) for part in fields[1].split("."))
        first, _, last = span.partition("..")
        for code in range(int(first, 16), int(last or first, 16) + 1):
            ages[code] = age
    return ages


def read_unicode_data(path):
    """Code point -> (name, simple upper-case mapping, simple lower-case mapping), None for none."""
    entries = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split(";")
            upper = int(fields[UPPERCASE_FIELD], 16) if fields[UPPERCASE_FIELD] else None
            lower = int(fields[LOWERCASE_FIELD], 16) if fields[LOWERCASE_FIELD] else None
            entries[int(fields[0], 16)] = (fields[1], upper, lower)
    return entries


def build_rows(ranges, mapping_of, keep, entries, ages):
    def assigned(code):
        return code in entries and ages.get(code, (99,)) <= MAX_AGE

    rows = []
    for first, last in ranges:
        for code in range(first, last + 1):
            if not assigned(code):
                continue
            mapped = mapping_of(entries[code])
            if mapped is None or mapped == code or not assigned(mapped) or not keep(code, mapped):
                continue
            rows.append((code, mapped, entries[code][0], entries[mapped][0]))
    return rows


def c_table(name, rows):
    lines = ["const UcsCaseRow %s[] = {" % name]
    for code, mapped, code_name, mapped_name in rows:
        lines.append('    {0x%04X, 0x%04X, "%s", "%s"},' % (code, mapped, code_name, mapped_name))
    lines.append("    {0, 0, nullptr, nullptr},")
    lines.append("};")
    lines.append("const size_t %sRows = %d;" % (name, len(rows)))
    return "\n".join(lines)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--data-dir", default="/usr/share/unicode")
    parser.add_argument("--output", default=os.path.join(root, "core", "base", "case_tables.cpp"))
    args = parser.parse_args()

    unicode_data = os.path.join(args.data_dir, "UnicodeData.txt")
    derived_age = os.path.join(args.data_dir, "DerivedAge.txt")
    entries = read_unicode_data(unicode_data)
    ages = read_ages(derived_age)

    upper_to_lower = build_rows(UPPER_TO_LOWER_RANGES, lambda e: e[2], lambda c, m: True,
                                entries, ages)
    lowers = {code: mapped for code, mapped, _, _ in upper_to_lower}
    lower_to_upper = build_rows(
        LOWER_TO_UPPER_RANGES, lambda e: e[1],
        lambda c, m: lowers.get(m) == c or c in KEEP_WITHOUT_ROUND_TRIP, entries, ages)

    text = "\n".join([
        "// Generated by scripts/gen_case_tables.py: do not edit, run the script instead.",
        "// Source: UnicodeData.txt and DerivedAge.txt of Unicode %s"
        % file_version(derived_age),
        "// (Debian's unicode-data); code points assigned up to Unicode %d.%d only." % MAX_AGE,
        '#include "core/base/case_tables.h"',
        "",
        "const char kCaseTablesUnicodeVersion[] = \"%d.%d\";" % MAX_AGE,
        "",
        c_table("mUCSU2L", upper_to_lower),
        "",
        c_table("mUCSL2U", lower_to_upper),
        "",
    ])
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(text)
    print("%s: %d upper-to-lower rows, %d lower-to-upper rows"
          % (args.output, len(upper_to_lower), len(lower_to_upper)), file=sys.stderr)


if __name__ == "__main__":
    main()
