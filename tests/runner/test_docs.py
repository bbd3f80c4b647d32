"""The docs against what they describe: the options table against the runner's
parser, the document's fields against its schema."""

import os
import re
import subprocess
import sys

import pytest

from parbench.commands import suite_options as cli
from parbench.model import document, programs

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


def test_every_field_of_the_schema_is_described_in_the_docs_as_the_schema_says():
    with open(os.path.join(ROOT, "docs", "results.md")) as f:
        text = f.read()
    section = text.split("<!-- fields: tools/schema-doc -->\n", 1)[1].split("<!-- end of fields -->", 1)[0]
    made = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "schema-doc")], capture_output=True,
                          text=True, check=True, timeout=60).stdout
    assert section == made, "docs/results.md: paste the output of tools/schema-doc between its markers"


def test_the_schema_names_the_programs_of_the_table():
    assert tuple(document.SCHEMA["$defs"]["program"]["enum"]) == programs.NAMES
