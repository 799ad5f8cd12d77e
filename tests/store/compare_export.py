#!/usr/bin/python3
"""Reads an exported workbook back with openpyxl, a reader independent of the writer, and
compares it row by row with the CSV export of the same rows and the store's two more columns.

usage: compare_export.py export.csv export.xlsx DECIMAL_SEPARATOR extras.txt
extras.txt holds one line per row: first seen and last changed as the store keeps them
(ISO local times, the second possibly empty), separated by ";".
Prints what differs and exits 1; exits 0 when the workbook holds the same rows, typed."""
import csv
import datetime
import os
import sys

import openpyxl
from openpyxl.utils.escape import unescape

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harvest"))
from compare_workbook import DATE_COLUMNS, PRICE_COLUMNS, TEXT_COLUMNS, _date, _number  # noqa: E402

EXTRA_NAMES = ["Впервые найдено", "Последнее изменение"]


def fail(message):
    print(message)
    sys.exit(1)


def minute(iso):
    if not iso:
        return None
    return datetime.datetime.strptime(iso[:16], "%Y-%m-%dT%H:%M")


def main():
    csv_path, xlsx_path, separator, extras_path = sys.argv[1:5]
    with open(csv_path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f, delimiter=";", quotechar='"'))
    with open(extras_path, encoding="utf-8") as f:
        extras = [line.rstrip("\n").split(";") for line in f if line.strip()]
    if len(extras) != len(rows) - 1:
        fail(f"{len(extras)} extra lines for {len(rows) - 1} rows")
    sheet = openpyxl.load_workbook(xlsx_path)["Данные"]
    if sheet.auto_filter.ref != f"A1:P{len(rows)}":
        fail(f"filter {sheet.auto_filter.ref} for {len(rows)} rows")
    cells = list(sheet.iter_rows())
    if len(cells) != len(rows):
        fail(f"{len(cells)} rows in the workbook, {len(rows)} in the export")
    for r, (line, row) in enumerate(zip(rows, cells), start=1):
        if len(row) != 16:
            fail(f"row {r}: {len(row)} columns")
        wanted = line + (EXTRA_NAMES if r == 1 else extras[r - 2])
        for c, text in enumerate(wanted):
            cell = row[c]
            value = cell.value
            where = f"row {r} column {c + 1}"
            if r == 1 or text == "":
                if (value or "") != text:
                    fail(f"{where}: {value!r} != {text!r}")
            elif c >= 14:
                if not cell.is_date or value != minute(text):
                    fail(f"{where}: date {value!r} != {text!r}")
            elif c in PRICE_COLUMNS and _number(text, separator) is not None:
                if cell.data_type != "n" or abs(value - _number(text, separator)) > 1e-6:
                    fail(f"{where}: price {value!r} != {text!r}")
            elif c in DATE_COLUMNS and _date(text) is not None:
                if not cell.is_date or value != _date(text):
                    fail(f"{where}: date {value!r} != {text!r}")
            elif cell.data_type != "s" or unescape(value) != text:
                fail(f"{where}: text {value!r} != {text!r}")
            elif c in TEXT_COLUMNS and cell.number_format != "@":
                fail(f"{where}: identifier not formatted as text")
    print(f"{len(rows) - 1} rows match")


if __name__ == "__main__":
    main()
