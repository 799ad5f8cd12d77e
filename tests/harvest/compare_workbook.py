#!/usr/bin/python3
"""Reads a results workbook back with openpyxl, a reader independent of the writer, and compares
it row by row with the results file it was written beside.

usage: compare_workbook.py data.csv data.xlsx DECIMAL_SEPARATOR
Prints what differs and exits 1; exits 0 when the workbook holds the same rows, typed."""
import csv
import datetime
import math
import sys

import openpyxl
from openpyxl.utils.escape import unescape

TEXT_COLUMNS = {0, 2, 5, 13}
PRICE_COLUMNS = {9, 10}
DATE_COLUMNS = {3, 11}


def fail(message):
    print(message)
    sys.exit(1)


def main():
    csv_path, xlsx_path, separator = sys.argv[1], sys.argv[2], sys.argv[3]
    with open(csv_path, encoding="utf-8-sig", newline="") as f:
        rows = list(csv.reader(f, delimiter=";", quotechar='"'))
    book = openpyxl.load_workbook(xlsx_path)
    if book.sheetnames != ["Данные", "Итоги"]:
        fail(f"sheets {book.sheetnames}")
    sheet = book["Данные"]
    if sheet.freeze_panes != "A2":
        fail(f"frozen at {sheet.freeze_panes}")
    if sheet.auto_filter.ref != f"A1:N{len(rows)}":
        fail(f"filter {sheet.auto_filter.ref} for {len(rows)} rows")
    cells = list(sheet.iter_rows())
    if len(cells) != len(rows):
        fail(f"{len(cells)} rows in the workbook, {len(rows)} in the results file")
    for r, (line, row) in enumerate(zip(rows, cells), start=1):
        for c, text in enumerate(line):
            cell = row[c] if c < len(row) else None
            value = cell.value if cell is not None else None
            where = f"row {r} column {c + 1}"
            if r == 1 or text == "":
                if (value or "") != text:
                    fail(f"{where}: {value!r} != {text!r}")
                continue
            if c in PRICE_COLUMNS and _number(text, separator) is not None:
                if cell.data_type != "n" or abs(value - _number(text, separator)) > 1e-6:
                    fail(f"{where}: price {value!r} != {text!r}")
            elif c in DATE_COLUMNS and _date(text) is not None:
                if not cell.is_date or value != _date(text):
                    fail(f"{where}: date {value!r} != {text!r}")
            else:
                # Control characters travel as _xHHHH_ escapes, which spreadsheet programs
                # decode; openpyxl leaves them in inline strings.
                if cell.data_type != "s" or unescape(value) != text:
                    fail(f"{where}: text {value!r} != {text!r}")
                if c in TEXT_COLUMNS and cell.number_format != "@":
                    fail(f"{where}: identifier not formatted as text")
    summary = book["Итоги"]
    totals = {r[0]: r[1:] for r in summary.iter_rows(values_only=True) if r[0]}
    # A trade without lots counts as a trade but has no row.
    guids = {line[0] for line in rows[1:]}
    trades, lots = totals.get("Всего", (None, None))
    if lots != len(rows) - 1 or trades is None or trades < len(guids):
        fail(f"totals {trades}, {lots} for {len(guids)} trades with rows, {len(rows) - 1} lots")
    if len(summary._charts) != 1:
        fail("no chart of lots per region")
    print(f"{len(rows) - 1} rows match")


def _number(text, separator):
    try:
        value = float(text.replace(separator, "."))
    except ValueError:
        return None
    # No cell holds infinity or "not a number": such a price stays text.
    return value if math.isfinite(value) else None


def _date(text):
    for form in ("%d.%m.%Y %H:%M", "%d.%m.%Y"):
        try:
            return datetime.datetime.strptime(text, form)
        except ValueError:
            pass
    return None


if __name__ == "__main__":
    main()
