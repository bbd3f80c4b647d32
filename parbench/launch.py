"""How an MPI program is started: by a user's template, or by the launcher of
the MPI the programs were built with, in its family's words, on this host, on a
hostfile's hosts or on a Slurm allocation, with as many processes as fit there
before the rest are oversubscribed.

The runner, the tests and the batch scripts all start MPI programs through a
`Launch`. As a command, it prints launch lines for shell scripts:

    python3 -m parbench.launch command [--build DIR] [-n N] PROGRAM [ARG...]
    python3 -m parbench.launch rank-env [--build DIR] NAME=VALUE...

the first one word per line, the second the launcher options that hand the
variables to the program's processes alone, one per line.
"""

import argparse
import os
import shlex
import sys
from dataclasses import dataclass
from typing import Optional

from . import machine, mpi
from .build import Build


@dataclass
class Launch:
    mpi: mpi.Mpi
    slots: int                      # processes that fit before the rest are oversubscribed
    where: str                      # what the slots are, in words
    template: Optional[str] = None  # a user's command, {procs} for the count
    hostfile: Optional[str] = None  # the file handed to the MPI
    preflags: tuple = ()            # the site's launcher flags
    translation: Optional[str] = None  # the hostfile's text in the form the MPI reads, to write at `hostfile`

    @classmethod
    def plan(cls, build, environ, template=None, hostfile=None, scratch=None, cores=None, found=None):
        """The launch for `build`: `hostfile` is a Hostfile, `scratch` the folder
        where a translation of it would go. Asks the launcher what it is."""
        found = found or mpi.ask(build.launcher)
        cores = cores or machine.physical_cores()
        tasks = machine.slurm_tasks(environ)
        if hostfile:
            slots, where = hostfile.slots(cores), "the hostfile's slots"
        elif tasks:
            slots, where = tasks, "the Slurm allocation's tasks"
        else:
            slots, where = cores, "this host's cores"
        launch = cls(found, slots, where, template, preflags=tuple(build.preflags))
        if hostfile and not template:
            if hostfile.reads_as(found.hostfile_form):
                launch.hostfile = hostfile.path
            else:
                launch.hostfile = os.path.join(scratch or os.path.dirname(hostfile.path),
                                               "hostfile-" + found.hostfile_form)
                launch.translation = hostfile.text_in(found.hostfile_form, cores)
        return launch

    def prepare(self):
        """Writes the translated hostfile, if the MPI needs one."""
        if self.translation is not None:
            with open(self.hostfile, "w") as f:
                f.write(self.translation)

    def command(self, program, procs, setting=mpi.Setting()):
        """(argv, binding) for `procs` processes of `program` (an argv), with
        `setting` added; the binding is None where it is not known."""
        if self.template:
            words = shlex.split(self.template.replace("{procs}", str(procs)))
            # A setting's options go right after the launcher's name, before the template's own.
            return words[:1] + list(setting.options) + words[1:] + list(program), None
        return self.mpi.command(program, procs, self.slots, self.hostfile,
                                os.geteuid() == 0, setting, self.preflags)

    def rank_environment(self, env):
        """A Setting that hands `env` to the program's processes alone, or
        mpi.Unavailable: the MPI family's own way, or srun's for a template
        that starts with it."""
        if not self.template:
            return self.mpi.rank_environment(env)
        words = shlex.split(self.template)
        if words and os.path.basename(words[0]) == mpi.Srun.launcher_name:
            return mpi.Srun.rank_environment(env)
        return mpi.Unavailable("the runner cannot tell how '%s' hands variables to the processes" % self.template)

    def describe(self):
        """What starts the program, for the run's first lines."""
        if self.template:
            return self.template
        found = self.mpi
        return "%s (%s%s; %d processes fit %s)" % (found.launcher, found.implementation or "unknown MPI",
                                                   " " + found.version if found.version else "",
                                                   self.slots, self.where)


def main(argv):
    p = argparse.ArgumentParser(prog="python3 -m parbench.launch",
                                description="Launch lines, in the words of the build's MPI family, for shell scripts.")
    p.add_argument("--build", default=os.environ.get("BUILD_DIR", "build"), help="the build folder (default: build)")
    sub = p.add_subparsers(dest="what", required=True)
    command = sub.add_parser("command", help="the whole command that starts PROGRAM, one word a line")
    command.add_argument("-n", type=int, default=None, help="processes (default: the Slurm tasks, else the cores)")
    command.add_argument("program", nargs=argparse.REMAINDER)
    rank_env = sub.add_parser("rank-env", help="options that hand NAME=VALUE to the processes alone, one a line")
    rank_env.add_argument("variables", nargs="+", metavar="NAME=VALUE")
    args = p.parse_args(argv)

    launch = Launch.plan(Build.read(args.build), os.environ)
    if args.what == "command":
        if not args.program:
            p.error("command: name the program")
        words, _ = launch.command(args.program, args.n or launch.slots)
    else:
        setting = launch.rank_environment(dict(v.partition("=")[::2] for v in args.variables))
        if isinstance(setting, mpi.Unavailable):
            print("launch: %s" % setting.why, file=sys.stderr)
            return 1
        words = setting.options
    print("\n".join(words))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
