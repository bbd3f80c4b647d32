"""Environments: the compilers, OpenMP runtimes and MPIs a session compares.

An environment names a C++ compiler (and with it an OpenMP runtime), an MPI,
modules to load and variables to set. Built in are `gcc` and `clang` (the
compilers on PATH, with libgomp and LLVM's libomp), `openmpi` and `mpich`
(Debian's); a user defines more in a TOML file, one table per environment:

    [site-gnu]
    modules = ["gcc/12.2.0", "openmpi/4.1.5"]
    variables = { OMP_WAIT_POLICY = "passive" }

Names joined by "+" combine: `clang+mpich` is clang's compiler with MPICH.
Each environment is built by scripts/setup into a folder of its own, in the
variables its modules set; its runs get those variables too.
"""

import os
import re
import shlex
import subprocess
import tomllib
from dataclasses import dataclass, field, replace
from typing import Optional

from ..base.text import shown

NAME = re.compile(r"^[A-Za-z0-9._-]{1,64}$")
VARIABLE = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
# Debian's MPIs, as scripts/setup takes them (PARBENCH_MPI); a site's comes from its module.
MPIS = ("openmpi", "mpich")
# Set by the runner for each run; an environment that set them would be overruled unseen.
RUNNER_VARIABLES = ("OMP_NUM_THREADS", "OMP_PROC_BIND", "OMP_PLACES", "OMP_DISPLAY_AFFINITY", "OMP_AFFINITY_FORMAT")
MOST_PARTS = 8
FILE_NAME = os.path.join("parbench", "environments.toml")
# Where Lmod and Environment Modules keep the shell function `module`.
MODULE_INITS = ("/usr/share/lmod/lmod/init/bash", "/usr/share/modules/init/bash", "/etc/profile.d/modules.sh",
                "/usr/share/Modules/init/bash")
MODULE_TIMEOUT_S = 60
# The tests' stand-in for scripts/setup, which builds nothing real.
SETUP_VARIABLE = "PARBENCH_SETUP"


class Unusable(Exception):
    """An environment that cannot be used: a bad file, a bad name, a module
    that does not load. The text names where."""


@dataclass(frozen=True)
class Environment:
    name: str
    cxx: Optional[str] = None      # None: the compiler setup finds
    cc: Optional[str] = None
    mpi: Optional[str] = None      # one of MPIS, or None: the MPI on PATH (a module's) or setup's default
    modules: tuple = ()
    variables: tuple = ()          # ((name, value), ...)
    defined: str = "built in"      # or "FILE:LINE"
    description: Optional[str] = None

    def setup_variables(self):
        """What scripts/setup is told to build this environment."""
        found = {"CXX": self.cxx, "CC": self.cc, "PARBENCH_MPI": self.mpi}
        return {k: v for k, v in found.items() if v}


BUILT_IN = {e.name: e for e in (
    Environment("gcc", cxx="g++", cc="gcc", description="GCC's g++ and its OpenMP runtime, libgomp"),
    Environment("clang", cxx="clang++", cc="clang", description="LLVM's clang++ and its OpenMP runtime, libomp"),
    Environment("openmpi", mpi="openmpi", description="Debian's Open MPI"),
    Environment("mpich", mpi="mpich", description="Debian's MPICH"),
)}


def default_file(environ):
    """${XDG_CONFIG_HOME:-~/.config}/parbench/environments.toml."""
    home = environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(home, FILE_NAME)


# The file

KEYS = {"cxx": "the C++ compiler", "cc": "the C compiler", "mpi": "the MPI", "modules": "the modules to load",
        "variables": "the variables to set", "description": "what it is"}


def read_file(path):
    """{name: Environment} defined in the TOML file `path`. Unusable
    names the file, the line and the key of the first thing wrong."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise Unusable("%s: cannot read it: %s" % (shown(path), e.strerror or e))
    try:
        text = data.decode("utf-8")
        found = tomllib.loads(text)
    except UnicodeDecodeError:
        raise Unusable("%s: is not UTF-8 text" % shown(path))
    except tomllib.TOMLDecodeError as e:
        raise Unusable("%s: is not TOML: %s" % (shown(path), e))
    lines = text.splitlines()
    defined = {}
    for name, table in found.items():
        where = "%s:%d" % (path, _line(lines, name))
        if not NAME.match(name):
            raise Unusable("%s: [%s]: an environment's name is letters, digits, '.', '_' and '-', at most "
                                    "64 of them" % (shown(where), shown(name)))
        if not isinstance(table, dict):
            raise Unusable("%s: %s: each environment is a table, [%s], not %s" % (
                shown(where), shown(name), shown(name), _kind(table)))
        defined[name] = _environment(name, table, path, lines, where)
    return defined


def _environment(name, table, path, lines, where):
    def fail(key, why):
        raise Unusable("%s:%d: [%s] %s: %s" % (shown(path), _line(lines, name, key), shown(name),
                                                        shown(key), why))
    for key in table:
        if key not in KEYS:
            fail(key, "no such key; an environment takes %s" % ", ".join(KEYS))
    values = {}
    for key in ("cxx", "cc", "description"):
        if key in table:
            value = table[key]
            if not isinstance(value, str) or not value.strip() or "\n" in value or "\0" in value:
                fail(key, "%s is a text of one line, not %s" % (KEYS[key], _kind(value)))
            values[key] = value
    if "mpi" in table:
        if table["mpi"] not in MPIS:
            fail("mpi", "%s, not %s; a site's MPI is loaded by its module, with no mpi key" % (
                " or ".join('"%s"' % m for m in MPIS), _kind(table["mpi"])))
        values["mpi"] = table["mpi"]
    modules = table.get("modules", [])
    if not isinstance(modules, list) or not all(isinstance(m, str) and m.strip() and not re.search(r"\s", m)
                                                 for m in modules):
        fail("modules", "a list of module names, such as [\"gcc/12.2.0\", \"openmpi\"]")
    variables = table.get("variables", {})
    if not isinstance(variables, dict):
        fail("variables", "a table of names and texts, such as { OMP_WAIT_POLICY = \"passive\" }")
    pairs = []
    for variable, value in variables.items():
        if not VARIABLE.match(variable):
            fail("variables", "%s is no variable's name" % shown(variable))
        if variable in RUNNER_VARIABLES:
            fail("variables", "%s is set by the runner for each run (--threads, --bind)" % variable)
        if isinstance(value, bool) or not isinstance(value, (str, int)) or "\0" in str(value):
            fail("variables", "%s is set to a text or a whole number, not %s" % (variable, _kind(value)))
        pairs.append((variable, str(value)))
    return Environment(name, values.get("cxx"), values.get("cc"), values.get("mpi"), tuple(modules), tuple(pairs),
                       where, values.get("description"))


def _kind(value):
    return {bool: "true or false", str: "a text", int: "a number", float: "a number", list: "a list",
            dict: "a table"}.get(type(value), "a date or time")


def _line(lines, table, key=None):
    """The line (from 1) that defines `key` of the table `table`, or the
    table itself, as far as the text shows it; else 1."""
    name = r'(?:%s|"%s"|\'%s\')' % (re.escape(table), re.escape(table), re.escape(table))
    header = re.compile(r"^\s*\[\s*%s\s*\]" % name)
    dotted = re.compile(r"^\s*%s\s*\.\s*%s\s*=" % (name, re.escape(key or "")))
    own = re.compile(r"^\s*(?:%s|\"%s\")\s*=" % (re.escape(key or ""), re.escape(key or "")))
    inline = re.compile(r"^\s*%s\s*=" % name)
    found, inside = None, False
    for number, line in enumerate(lines, 1):
        if re.match(r"^\s*\[", line):
            inside = bool(header.match(line))
            if inside and found is None:
                found = number
            continue
        if key and (inside and own.match(line) or not inside and dotted.match(line)):
            return number
        if found is None and (inline.match(line) or re.match(r"^\s*%s\s*\." % name, line)):
            found = number
    return found or 1


# Choosing

def chosen(text, defined):
    """The Environments `text` names ("gcc,clang+mpich"), from the built-in
    ones and `defined` (a file's, which may redefine a built-in one)."""
    known = dict(BUILT_IN, **defined)
    names = [n.strip() for n in text.split(",")]
    if not all(names):
        raise Unusable("--env: %s names an empty environment" % shown(text))
    if len(set(names)) != len(names):
        raise Unusable("--env: %s names an environment twice" % shown(text))
    return [combined(name, known) for name in names]


def combined(name, known):
    parts = name.split("+")
    if len(parts) > MOST_PARTS:
        raise Unusable("--env: %s joins more than %d environments" % (shown(name), MOST_PARTS))
    for part in parts:
        if part not in known:
            raise Unusable("--env: no environment %s; there are %s" % (
                shown(part), ", ".join(sorted(known))))
    if len(set(parts)) != len(parts):
        raise Unusable("--env: %s names an environment twice" % shown(name))
    result = known[parts[0]]
    for part in parts[1:]:
        other = known[part]
        for key in ("cxx", "cc", "mpi"):
            mine, theirs = getattr(result, key), getattr(other, key)
            if mine and theirs and mine != theirs:
                raise Unusable("--env: %s: %s and %s both choose %s (%s, %s)" % (
                    shown(name), result.name, part, KEYS[key], mine, theirs))
        names = dict(result.variables)
        for variable, value in other.variables:
            if names.get(variable, value) != value:
                raise Unusable("--env: %s: %s and %s set %s differently" % (
                    shown(name), result.name, part, variable))
            names[variable] = value
        result = replace(result, name=result.name + "+" + part,
                         **{k: getattr(result, k) or getattr(other, k) for k in ("cxx", "cc", "mpi")},
                         modules=result.modules + tuple(m for m in other.modules if m not in result.modules),
                         variables=tuple(names.items()),
                         defined=result.defined if result.defined == other.defined else
                         "%s; %s" % (result.defined, other.defined),
                         description=None)
    return result


# Modules

def module_init(environ):
    """The shell file that defines `module`, or None where neither Lmod nor
    Environment Modules is installed."""
    home = environ.get("MODULESHOME")
    candidates = ([os.path.join(home, "init", "bash")] if home else []) + list(MODULE_INITS)
    return next((c for c in candidates if os.path.isfile(c)), None)


def loaded(environment, environ):
    """The variables `environ` becomes once `environment`'s modules are
    loaded (itself where it loads none). Unusable says which module
    did not load, in the module system's own words."""
    if not environment.modules:
        return dict(environ)
    init = module_init(environ)
    if init is None:
        raise Unusable("environment %s loads modules (%s), but neither Lmod nor Environment Modules is "
                                "installed here (%s)" % (environment.name, " ".join(environment.modules),
                                                          ", ".join(MODULE_INITS[:2])))
    # Each module on its own: the first that fails is named, and nothing after it is loaded.
    script = "source %s >/dev/null 2>&1 || exit 97\n" % shlex.quote(init)
    for module in environment.modules:
        script += "module load %s || exit 98\n" % shlex.quote(module)
    script += "exec env -0\n"
    try:
        out = subprocess.run(["bash", "--noprofile", "--norc", "-c", script], env=dict(environ),
                             capture_output=True, timeout=MODULE_TIMEOUT_S)
    except (OSError, subprocess.SubprocessError) as e:
        raise Unusable("environment %s: its modules could not be loaded: %s" % (environment.name, e))
    err = out.stderr.decode("utf-8", "replace").strip()
    # Lmod and Environment Modules 4 may fail a load yet exit 0: their words on standard error say it.
    failed = re.search(r"(?im)^.*(?:ERROR|unable to locate|failed to load|cannot be loaded|not found).*$", err)
    if out.returncode != 0 or failed:
        raise Unusable("environment %s (%s): its modules did not load: %s" % (
            environment.name, environment.defined, shown(err.splitlines()[-1] if err else
                                                         "exit status %d" % out.returncode)[:300]))
    found = {}
    for item in out.stdout.split(b"\0"):
        name, sep, value = item.decode("utf-8", "surrogateescape").partition("=")
        if sep and VARIABLE.match(name):
            found[name] = value
    # The shell's own, not the modules'.
    for name in ("_", "SHLVL", "PWD", "OLDPWD"):
        found.pop(name, None)
        if name in environ:
            found[name] = environ[name]
    return found


@dataclass
class Built:
    """An environment made ready: its build folder and the variables its
    builds and runs see."""
    environment: Environment
    folder: str
    environ: dict = field(default_factory=dict)

    @property
    def name(self):
        return self.environment.name

    def run_environ(self):
        """The variables of its runs: its modules' and its own."""
        return dict(self.environ, **dict(self.environment.variables))


def folder_of(build_root, environment):
    """Where `environment` is built: its own folder beside the default build's files."""
    return os.path.join(build_root, "env", environment.name)


def build(environment, build_root, root, environ, log, targets=(), timeout=3600):
    """Loads its modules and runs scripts/setup into its folder (configured
    once, rebuilt when the sources change), building `targets` alone where
    given; returns its Built. The setup's output goes to the text file `log`;
    Unusable says what failed."""
    environ = loaded(environment, environ)
    folder = folder_of(build_root, environment)
    variables = dict(environ, BUILD_DIR=folder, **environment.setup_variables())
    if targets:
        variables["PARBENCH_TARGETS"] = " ".join(targets)
    # Where it names no MPI it takes the default build's choice, unless its modules bring one.
    if not environment.mpi and environment.modules:
        variables.pop("PARBENCH_MPI", None)
    log.write("==== environment %s: scripts/setup into %s\n" % (environment.name, folder))
    log.flush()
    try:
        setup = environ.get(SETUP_VARIABLE) or os.path.join(root, "scripts", "setup")
        done = subprocess.run([setup], env=variables, stdout=log,
                              stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=timeout)
    except (OSError, subprocess.SubprocessError) as e:
        raise Unusable("environment %s could not be built: %s" % (environment.name, e))
    if done.returncode != 0:
        raise Unusable("environment %s could not be built in %s (scripts/setup: exit status %d); its "
                                "output is in %s" % (environment.name, folder, done.returncode, log.name))
    return Built(environment, folder, environ)
