"""One class per MPI family, and nothing else knows a family.

Each class holds its family's words: how its launcher states its version, its
launcher's options (processes, hostfile, root, oversubscription, binding), how
to make its processes talk over TCP alone or over shared memory alone, how its
launcher starts daemons on other hosts, and how it reports a failure. The
runner, the tests, the batch scripts and the checks ask here; none of them
names a family, an option of one or a variable of one.
"""

import re
import subprocess
from dataclasses import dataclass, field

SLOTS, COLON = "slots", "colon"  # hostfile lines "host slots=N" and "host:N"


@dataclass(frozen=True)
class Setting:
    """What asks one thing of an MPI: launcher options, environment additions,
    and whether its processes may still be bound to cores."""
    options: tuple = ()
    env: dict = field(default_factory=dict)
    bind: bool = True

    def __add__(self, other):
        return Setting(self.options + other.options, {**self.env, **other.env}, self.bind and other.bind)


@dataclass(frozen=True)
class Unavailable:
    """What a family cannot be asked, and why."""
    why: str


def version_tuple(text):
    return tuple(int(n) for n in re.findall(r"\d+", text or "")[:3])


def _is_rule(line):
    text = line.strip()
    return len(text) >= 8 and not re.search(r"[A-Za-z0-9]", text)


class Mpi:
    """A launcher of no family the runner knows: it gets a plain `L -n N`."""
    family = "unknown"
    implementation = None
    hostfile_form = SLOTS
    rank_variable = None       # the rank as the launcher hands it to each process
    start_failures = ()        # texts of a launch that failed in MPI_Init before the program ran
    harmless = ()              # patterns of launcher lines that say nothing is wrong
    variables = ()             # prefixes of the environment variables that steer it

    def __init__(self, launcher, version=None):
        self.launcher, self.version = launcher, version

    @property
    def known(self):
        return type(self) is not Mpi

    def unknown_note(self):
        """What the runner says of a launcher of no family it knows."""
        return ("%s is of no MPI family the runner knows (Open MPI, MPICH's Hydra), so it gets a plain "
                "'%s -n N'" % (self.launcher, self.launcher))

    def __repr__(self):
        return "%s(%r, %r)" % (type(self).__name__, self.launcher, self.version)

    @classmethod
    def reads(cls, text):
        """The version this family's launcher states in `text`, or None when it is not this family."""
        return None

    # The command line.

    def hostfile_options(self, path):
        return ["--hostfile", path]

    def own_options(self, procs, slots, as_root, bind):
        """(options, binding): what this family needs to start `procs` where
        `slots` fit, and what the processes are then bound to, as far as its
        rules tell (None: not known)."""
        return [], None

    def command(self, program, procs, slots=None, hostfile=None, as_root=False, setting=Setting(),
                preflags=()):
        """(argv, binding) for `procs` processes of `program` (an argv)."""
        own, binding = self.own_options(procs, procs if slots is None else slots, as_root, setting.bind)
        cmd = [self.launcher, "-n", str(procs)]
        if hostfile:
            cmd += self.hostfile_options(hostfile)
        return cmd + own + list(preflags) + list(setting.options) + list(program), binding

    # What the tests ask of a family.

    def ipv4_only(self):
        """What keeps the MPI's TCP transport to IPv4; nothing where it needs no telling."""
        return Setting()

    def tcp_only(self):
        return Unavailable("%s is of no MPI family the tests know" % self.launcher)

    def shared_memory_only(self):
        return Unavailable("%s is of no MPI family the tests know" % self.launcher)

    def remote_hosts(self, agent, hosts):
        """Daemons or proxies started through `agent`, which stands in for ssh,
        on `hosts` ("address:slots"); the processes are not bound."""
        return Unavailable("%s is of no MPI family the tests know" % self.launcher)

    def rank_environment(self, env):
        """Options that hand `env` to the program's processes alone, on every host."""
        return Unavailable("%s is of no MPI family the runner knows, so it cannot hand variables "
                           "to the processes alone" % self.launcher)

    # Placement: binding by a policy, and the launcher's report of what it bound.

    binding_line = None        # a line of the launcher's binding report, as a compiled pattern

    def binding(self, policy):
        """(Setting, binding) for a placement policy, "none", "close" or
        "spread": what asks the launcher for it, with one binding option in all
        together with own_options', and what the processes are then bound to;
        or Unavailable."""
        return Unavailable("%s is of no MPI family the runner knows, so it cannot be asked to bind "
                           "its processes" % self.launcher)

    def binding_report(self):
        """The Setting that has the launcher report each process's binding on
        standard error, or Unavailable."""
        return Unavailable("%s is of no MPI family the runner knows, so it cannot be asked for the "
                           "bindings it made" % self.launcher)

    def read_bindings(self, err):
        """{rank: (host, objects)} from the binding report in `err`: objects a
        frozenset of ("core" or "pu", logical index), as hwloc numbers them on
        that host, or None where the process was not bound."""
        found = {}
        for line in err.splitlines():
            m = self.binding_line.match(line) if self.binding_line else None
            if not m:
                continue
            objects = None if m.group("bound") is None else self._bound_objects(m.group("bound"))
            if objects != frozenset():   # a report the runner cannot read says nothing of the rank
                found[int(m.group("rank"))] = (m.group("host"), objects)
        return found

    def _bound_objects(self, text):
        return frozenset()

    def is_binding_line(self, line):
        return bool(self.binding_line and self.binding_line.match(line))

    # Its messages.

    def failed_to_start(self, err):
        return any(text in err for text in self.start_failures)

    def without_noise(self, err):
        """Standard error without the launcher's known harmless lines."""
        return "".join(line for line in err.splitlines(keepends=True)
                       if not any(re.search(p, line) for p in self.harmless))

    def explain_failure(self, err, program):
        """The line that says why a run failed: the program's own message, else
        the first paragraph of the launcher's last framed message, else the last
        line that is not a rule."""
        lines = err.splitlines()
        own = [line for line in lines if line.startswith(program + ": ")]
        if own:
            return own[-1].strip()
        rules = [i for i, line in enumerate(lines) if _is_rule(line)]
        if len(rules) >= 2:
            paragraph = []
            for line in lines[rules[-2] + 1:rules[-1]]:
                text = line.strip().strip("=").strip()
                if not text and paragraph:
                    break
                if text:
                    paragraph.append(text)
            if paragraph:
                return " ".join(paragraph)
        text = [line.strip() for line in lines if line.strip() and not _is_rule(line)]
        return text[-1] if text else "no message"


class OpenMpi(Mpi):
    implementation = "Open MPI"
    rank_variable = "OMPI_COMM_WORLD_RANK"
    start_failures = ("OPAL ERROR: Unreachable",)
    # The launcher races its own children to setpgid and warns when a child has
    # already started the agent: "plm:rsh:" in 4, "plm:ssh:" in 5.
    harmless = (r"plm:[rs]sh: Warning: setpgid\(",)
    variables = ("OMPI_MCA_", "PRTE_MCA_", "PMIX_MCA_")
    shared_memory_btl = None

    @classmethod
    def reads(cls, text):
        # "mpirun (Open MPI) 5.0.7", or "mpiexec (OpenRTE) 4.1.4" from the same package.
        m = re.search(r"\((?:Open MPI|OpenRTE)\) (\d+\.\d+(?:\.\d+)?\S*)", text)
        return m.group(1) if m else None

    def own_options(self, procs, slots, as_root, bind):
        options = []
        if as_root:
            options.append("--allow-run-as-root")
        if procs > slots:
            options.append("--oversubscribe")
        if not bind:
            return options + ["--bind-to", "none"], "none"
        return options, None

    def binding(self, policy):
        if policy == "none":
            return Setting(bind=False), "none"   # own_options says so
        by = {"close": "core", "spread": self.map_by_package}[policy]
        # Overloading allowed: more processes than cores are bound two to a
        # core, not refused.
        return Setting(("--map-by", by) + self.core_binding), "core:overload-allowed"

    def binding_report(self):
        return Setting(("--report-bindings",))

    def tcp_only(self):
        return Setting(("--mca", "btl", "self,tcp"))

    def shared_memory_only(self):
        return Setting(("--mca", "btl", "self," + self.shared_memory_btl))

    def rank_environment(self, env):
        return Setting(tuple(word for name, value in env.items() for word in ("-x", "%s=%s" % (name, value))))


class OpenMpi4(OpenMpi):
    family = "Open MPI 4"
    shared_memory_btl = "vader"
    map_by_package = "socket"   # 4.1 refuses "package"
    core_binding = ("--bind-to", "core:overload-allowed")
    # "[host:pid] MCW rank 1 bound to socket 0[core 1[hwt 0]]: [./B]", or
    # "... MCW rank 1 is not bound (or bound to all available processors)".
    binding_line = re.compile(r"\[(?P<host>.+):\d+\] MCW rank (?P<rank>\d+) "
                              r"(?:is not bound\b.*|bound to (?P<bound>.*))$")

    def _bound_objects(self, text):
        # The map after the colon: a bracket per package, cores apart by
        # "/", a B or a dot per hardware thread, in hwloc's logical order.
        m = re.search(r":\s*((?:\[[^\[\]]*\])+)\s*$", text)
        if not m:
            return frozenset()
        marks = [c for c in m.group(1) if c in "B."]
        return frozenset(("pu", i) for i, c in enumerate(marks) if c == "B")

    def own_options(self, procs, slots, as_root, bind):
        options, binding = super().own_options(procs, slots, as_root, bind)
        # Its default: cores up to 2 processes, sockets above, nothing when oversubscribed.
        return options, binding or ("none" if procs > slots else "core" if procs <= 2 else "socket")

    def remote_hosts(self, agent, hosts):
        # Two daemons on one machine collide on their shared-memory files
        # unless each keeps them in its node's own folder; the agent points
        # these variables there.
        return Setting(("--mca", "plm", "rsh", "--mca", "plm_rsh_agent", agent, "--host", ",".join(hosts)),
                       {"PARBENCH_NODE_TMP_VARIABLES": "OMPI_MCA_btl_vader_backing_directory"}, bind=False)


class OpenMpi5(OpenMpi):
    family = "Open MPI 5"
    shared_memory_btl = "sm"
    map_by_package = "package"
    core_binding = ()           # own_options binds to cores
    # "[host:pid] Rank 1 bound to package[0][core:1]", several packages one
    # after the other, or "... Rank 1 is not bound (or bound to all available processors)".
    binding_line = re.compile(r"\[(?P<host>.+):\d+\] Rank (?P<rank>\d+) "
                              r"(?:is not bound\b.*|bound to (?P<bound>.*))$")

    def _bound_objects(self, text):
        objects = set()
        for unit, numbers in re.findall(r"\[(core|hwt):([0-9,-]+)\]", text):
            for part in numbers.split(","):
                low, _, high = part.partition("-")
                if low.isdigit() and (high or low).isdigit():
                    objects |= {("core" if unit == "core" else "pu", i) for i in range(int(low), int(high or low) + 1)}
        return frozenset(objects)

    def own_options(self, procs, slots, as_root, bind):
        options, binding = super().own_options(procs, slots, as_root, bind)
        if binding:
            return options, binding
        # It binds to cores and refuses more processes than a node has cores,
        # even where its slots allow them.
        return options + ["--bind-to", "core:overload-allowed"], "core:overload-allowed"

    def ipv4_only(self):
        # Its TCP transport cannot pair interfaces on hosts that have IPv4 and
        # IPv6 addresses (open-mpi/ompi#14079): it warns on every run, and runs
        # over TCP alone fail in MPI_Init.
        return Setting(("--mca", "btl_tcp_disable_family", "6"))

    def remote_hosts(self, agent, hosts):
        # PRRTE starts the daemons; its component is ssh, rsh being an alias.
        return Setting(("--prtemca", "plm", "ssh", "--prtemca", "plm_ssh_agent", agent, "--host", ",".join(hosts)),
                       {"PARBENCH_NODE_TMP_VARIABLES": "OMPI_MCA_btl_sm_backing_directory"}, bind=False)


class Hydra(Mpi):
    """MPICH's launcher, and that of its derivatives. It runs as root,
    oversubscribes and binds nothing unless told."""
    family = "MPICH Hydra"
    implementation = "MPICH"
    hostfile_form = COLON
    rank_variable = "PMI_RANK"
    variables = ("MPIR_CVAR_", "HYDRA_", "UCX_")

    @classmethod
    def reads(cls, text):
        m = re.search(r"HYDRA build details:\s+Version:\s+(\S+)", text)
        return m.group(1) if m else None

    def hostfile_options(self, path):
        return ["-f", path]

    def own_options(self, procs, slots, as_root, bind):
        return [], "none"

    def binding(self, policy):
        if policy == "none":
            return Setting(("-bind-to", "none")), "none"
        by = {"close": "core", "spread": "socket"}[policy]
        return Setting(("-bind-to", "core", "-map-by", by)), "core"

    def binding_report(self):
        return Unavailable("MPICH's Hydra prints the bindings it makes (HYDRA_TOPO_DEBUG=1) on standard "
                           "output, among the program's report")

    def tcp_only(self):
        if version_tuple(self.version) < (4, 1):
            return Unavailable("MPICH before 4.1 (with UCX 1.13) hangs in MPI_Finalize when its processes "
                               "use TCP alone")
        # MPICH's own shared memory off, and UCX (Debian's MPICH netmod) on TCP alone.
        return Setting(env={"MPIR_CVAR_NOLOCAL": "1", "UCX_TLS": "tcp,self"})

    def shared_memory_only(self):
        # UCX's shared-memory transports reach any process of the machine, whatever
        # host name its node has; TCP alone is the proof there.
        return Unavailable("UCX's shared memory reaches across stand-in hosts on one machine")

    def remote_hosts(self, agent, hosts):
        # The proxies connect back to mpiexec by the address of the interface
        # named here; the stand-in hosts are all on loopback.
        return Setting(("-launcher", "ssh", "-launcher-exec", agent, "-iface", "lo", "-hosts", ",".join(hosts)),
                       bind=False)

    def rank_environment(self, env):
        return Setting(tuple(word for name, value in env.items() for word in ("-genv", name, value)))


class Srun:
    """Slurm's launcher, given as a --launcher template: not an MPI family,
    but it has its own way of handing variables to the tasks."""
    launcher_name = "srun"

    @staticmethod
    def rank_environment(env):
        # --export takes a comma list, so a value with a comma cannot pass.
        if any("," in name + value for name, value in env.items()):
            return Unavailable("srun --export cannot pass a value with a comma")
        return Setting(("--export=" + ",".join(["ALL"] + ["%s=%s" % kv for kv in env.items()]),))


FAMILIES = (OpenMpi, Hydra)
KNOWN = (OpenMpi4, OpenMpi5, Hydra)


def variable_prefixes():
    """The prefixes of every known family's variables."""
    return tuple(prefix for family in FAMILIES for prefix in family.variables)


def identify(text, launcher="mpirun"):
    """The MPI a launcher's `--version` output (both streams) names."""
    for family in FAMILIES:
        version = family.reads(text)
        if version:
            if family is OpenMpi:
                family = OpenMpi5 if version_tuple(version) >= (5,) else OpenMpi4
            return family(launcher, version)
    return Mpi(launcher)


def ask(launcher):
    """The MPI behind `launcher`. Open MPI 5 with PMIx 5 may print its version
    on standard error, so both streams are read."""
    try:
        out = subprocess.run([launcher, "--version"], capture_output=True, text=True, timeout=20,
                             stdin=subprocess.DEVNULL)
        return identify(out.stdout + out.stderr, launcher)
    except (OSError, subprocess.SubprocessError):
        return Mpi(launcher)
