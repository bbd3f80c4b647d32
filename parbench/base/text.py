"""Text: reading the small files of the system (/proc, /etc, CMake's cache)
that may not be there; showing text from elsewhere safely, on a terminal and
in a spreadsheet; and the words and tables every printed line shares."""

import re


def read(path):
    """The file's text, or "" where it cannot be read."""
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def search(pattern, text):
    """The first group of the first line-anchored match, stripped, or None."""
    m = re.search(pattern, text, re.MULTILINE)
    return m.group(1).strip() if m else None


def shown(value):
    """`value` as text safe to print: control and format characters (terminal
    escapes, bidirectional overrides) and lone surrogates written as escapes."""
    text = "" if value is None else str(value)
    if text.isprintable():
        return text
    out = []
    for c in text:
        if c.isprintable():
            out.append(c)
        elif ord(c) < 0x100:
            out.append("\\x%02x" % ord(c))
        else:
            out.append("\\u%04x" % ord(c) if ord(c) < 0x10000 else "\\U%08x" % ord(c))
    return "".join(out)


# A spreadsheet runs a cell that starts with one of these as a formula (tab and
# carriage return are dropped in front of one).
_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")
_PLAIN_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


def cell(value):
    """`value` as a CSV cell no spreadsheet runs: text that would start a
    formula gets a leading single quote; a plain number (-0.5, +1e-3) stays as
    it is, -inf and -nan do not."""
    text = "" if value is None else str(value)
    if text.startswith(_FORMULA_START) and not _PLAIN_NUMBER.fullmatch(text):
        return "'" + text
    return text


def noun(n, word):
    """`word` for n of them: "host", "hosts", "processes"."""
    return word if n == 1 else word + ("es" if word.endswith("s") else "s")


def plural(n, word):
    """"1 host", "2 hosts", "3 processes"."""
    return "%d %s" % (n, noun(n, word))


def aligned(rows):
    """Rows of cells as lines of left-aligned columns, two spaces apart, no
    trailing blanks: the runner's tables."""
    rows = [list(r) for r in rows]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))] if rows else []
    return ["  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]
