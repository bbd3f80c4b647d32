"""The program table against the C++ it describes."""

import os
import re

import pytest

from parbench.model import programs

pytestmark = pytest.mark.unit

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.parametrize("program", [p for p in programs.PROGRAMS if p.team_source], ids=lambda p: p.name)
def test_team_sizes_are_the_constants_the_programs_set(program):
    path, constant = program.team_source.split(": ")
    with open(os.path.join(ROOT, path)) as f:
        values = re.findall(r"\bconst int %s = (\d+);" % constant, f.read())
    assert values == [str(program.team)], "%s sets its team from %s" % (program.name, program.team_source)

