"""How an MPI program is started: by a user's template, or by the launcher of
the MPI the programs were built with, in its family's words, on this host, on a
hostfile's hosts or on a Slurm allocation, with as many processes as fit there
before the rest are oversubscribed.

The runner, the tests and the batch scripts all start MPI programs through a
`Launch`; shell scripts ask for its lines through commands/launch_lines.py.
"""

import os
import shlex
from dataclasses import dataclass
from typing import Optional

from . import machine, mpi


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
