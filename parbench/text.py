"""Reading the small text files of the system (/proc, /etc, CMake's cache) that may not be there."""

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
