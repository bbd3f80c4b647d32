"""What run-suite's options need installed beyond a default run: the runner's
hidden --needs, and scripts/setup --packages, which installs those missing
where it can, on stand-ins for dpkg-query, apt-get, sudo and id."""

import os
import re
import subprocess
import sys

import pytest

from conftest import ROOT, write_script
from parbench.commands import suite_options as cli
from parbench.base import optional

pytestmark = pytest.mark.unit

SETUP = os.path.join(ROOT, "scripts", "setup")
PACKAGE = re.compile(r"[a-z0-9][a-z0-9+.-]+")


def needs(*args):
    return subprocess.run([sys.executable, "-m", "parbench", "--needs", *args], capture_output=True, text=True,
                          cwd=ROOT, timeout=60)


@pytest.mark.parametrize("args, packages", [
    ([], []),
    (["--trace"], []),
    (["--only", "treesearch", "--repeat", "3"], []),
    (["--trace-dir", "archives"], list(optional.OTF2.debian)),
    (["--only", "arraysum", "--trace-dir", "archives", "--no-store"], list(optional.OTF2.debian)),
])
def test_needs_prints_the_packages_of_the_options_one_a_line(args, packages):
    run = needs(*args)
    assert (run.returncode, run.stdout.splitlines(), run.stderr) == (0, packages, "")


def test_every_package_needed_is_a_debian_package_name():
    assert optional.OTF2.debian and all(PACKAGE.fullmatch(p) for p in optional.OTF2.debian)


def test_needs_of_options_that_make_no_sense_is_their_error_and_no_package():
    run = needs("--trace-dir", "archives", "--repeat", "0")
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.startswith("run-suite: error: --repeat must be from 1 to")


def test_needs_is_hidden_from_the_help():
    assert "--needs" not in cli.parser().format_help()


class Machine:
    """Stand-ins first on PATH: packages installed but those in `missing`,
    apt-get and sudo that write down how they were called, id saying `uid`."""

    def __init__(self, folder):
        self.folder, self.bin, self.log = folder, folder / "bin", folder / "calls"

    def run(self, *packages, missing=(), uid=0, sudo=True, apt_status=0):
        write_script(str(self.bin / "dpkg-query"), 'for p; do :; done\ncase " %s " in *" $p "*) exit 1 ;; esac\n'
                     "printf 'install ok installed'\n" % " ".join(missing))
        write_script(str(self.bin / "apt-get"), 'echo "apt-get $*" >>%s\nexit %d\n' % (self.log, apt_status))
        write_script(str(self.bin / "id"), "echo %d\n" % uid)
        if sudo:
            write_script(str(self.bin / "sudo"), 'echo "sudo" >>%s\nexec env "$@"\n' % self.log)
        elif (self.bin / "sudo").exists():
            (self.bin / "sudo").unlink()
        # Without sudo there must be none on PATH at all: only what setup needs.
        path = str(self.bin) if not sudo else "%s:%s" % (self.bin, os.environ["PATH"])
        if not sudo:
            for tool in ("bash", "dirname", "grep"):
                link = self.bin / tool
                if not link.exists():
                    link.symlink_to(subprocess.run(["bash", "-c", "command -v " + tool], capture_output=True,
                                                   text=True, check=True, timeout=60).stdout.strip())
        env = dict(os.environ, PATH=path)
        run = subprocess.run(["bash", SETUP, "--packages", *packages], capture_output=True, text=True, env=env,
                             timeout=60)
        calls = self.log.read_text().splitlines() if self.log.exists() else []
        self.log.unlink(missing_ok=True)
        return run, calls


@pytest.fixture
def machine(tmp_path):
    return Machine(tmp_path)


def test_as_root_the_missing_packages_are_installed_and_no_other(machine):
    run, calls = machine.run("python3-otf2", "python3-six", missing=["python3-otf2"])
    assert run.returncode == 0, run.stderr
    assert calls == ["apt-get update -qq", "apt-get install -y --no-install-recommends python3-otf2"]
    assert run.stderr == "setup: installing python3-otf2\n"


def test_with_sudo_they_are_installed_through_it(machine):
    run, calls = machine.run("python3-otf2", missing=["python3-otf2"], uid=1000)
    assert run.returncode == 0, run.stderr
    assert calls == ["sudo", "apt-get update -qq", "sudo", "apt-get install -y --no-install-recommends python3-otf2"]


def test_nothing_missing_installs_nothing(machine):
    run, calls = machine.run("python3-otf2", "python3-six")
    assert (run.returncode, calls, run.stderr) == (0, [], "")


def test_where_it_cannot_install_it_leaves_the_runner_to_say_what_is_missing(machine):
    run, calls = machine.run("python3-otf2", missing=["python3-otf2"], uid=1000, sudo=False)
    assert (run.returncode, calls, run.stderr) == (0, [], "")


def test_a_failed_install_costs_a_line_and_not_the_run(machine):
    run, calls = machine.run("python3-otf2", missing=["python3-otf2"], apt_status=100)
    assert run.returncode == 0
    assert calls == ["apt-get update -qq"]
    assert run.stderr.splitlines()[-1] == "setup: python3-otf2 could not be installed; going on without"


@pytest.mark.parametrize("name", ["-y", "--reinstall", "python3-otf2; rm", "Python3", ""])
def test_a_name_that_is_no_package_is_refused_before_apt_get(machine, name):
    run, calls = machine.run("python3-otf2", name, missing=["python3-otf2"])
    assert (run.returncode, calls) == (2, [])
    assert run.stderr == "setup: '%s' is not a Debian package name\n" % name


@pytest.mark.parametrize("option", ["--help", "--hel", "--he", "-h"])
def test_run_suite_help_sets_up_nothing(machine, tmp_path, option):
    write_script(str(machine.bin / "dpkg-query"), "exit 1\n")
    write_script(str(machine.bin / "apt-get"), 'echo "apt-get $*" >>%s\n' % machine.log)
    build = tmp_path / "no-build"
    run = subprocess.run([os.path.join(ROOT, "scripts", "run-suite"), option], capture_output=True, text=True,
                         env=dict(os.environ, PATH="%s:%s" % (machine.bin, os.environ["PATH"]), BUILD_DIR=str(build)),
                         timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("usage: run-suite ")
    assert not build.exists() and not machine.log.exists()
