"""The options reference in docs/running.md against the runner's own parser."""

import os
import re

import pytest

from parbench import cli

pytestmark = pytest.mark.unit

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def documented():
    with open(os.path.join(ROOT, "docs", "running.md")) as f:
        text = f.read()
    section = text.split("## Options", 1)[1].split("\n## ", 1)[0]
    return {m.group(1): m.group(2) for m in re.finditer(r"^\| `(--[\w-]+)(?: ([A-Z]+))?` \|", section, re.MULTILINE)}


def test_every_option_of_the_runner_is_documented_with_its_argument_and_no_other():
    options = {a.option_strings[-1]: a.metavar for a in cli.parser()._actions
               if a.option_strings and a.help != "==SUPPRESS==" and a.option_strings[-1] != "--help"}
    assert documented() == options
