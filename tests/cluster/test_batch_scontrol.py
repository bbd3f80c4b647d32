"""The batch scripts of cluster/ when scontrol fails, without Slurm: a
stand-in scontrol first on PATH and the job's variables set, each script run
as Slurm runs it (a copy in a spool folder) or as the original. A script says
in one line which scontrol call failed and why; it goes on where it finds the
repository another way, and otherwise exits non-zero."""

import os
import shutil
import subprocess

import pytest

from conftest import write_script

pytestmark = pytest.mark.cluster

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
JOB = "4711"
NODELIST = "node[1-3]"
REFUSED = "slurm_load_jobs error: Unable to contact slurm controller (connect failure)"
# Stand-ins: scontrol refusing everything, or giving the job record and no hosts.
FAILING = "echo '%s' >&2\nexit 1\n" % REFUSED
RECORD = 'case "$2" in\n    job) echo "   Command=%s/cluster/$SCRIPT_NAME"; echo "   WorkDir=/tmp" ;;\nesac\n' % REPO


class Job:
    """A batch script run under the job's variables with stand-ins for
    scontrol, the runner's Python and mpirun, which say how they were called."""

    def __init__(self, folder):
        self.folder, self.bin, self.submit = folder, folder / "bin", folder / "submit"
        self.submit.mkdir()
        # The launch line, as the runner gives it, one word a line.
        write_script(str(self.bin / "python"), '[ "$2" = parbench.launch ] || { echo "runner: $*"; exit 0; }\n'
                                               'echo mpirun; for word; do :; done; echo "$word"\n')
        write_script(str(self.bin / "mpirun"), 'echo "mpirun: $*"\n')
        write_script(str(self.bin / "treesearch"), "exit 0\n")

    def run(self, name, scontrol, copy=True, **env):
        write_script(str(self.bin / "scontrol"), scontrol)
        script = os.path.join(REPO, "cluster", name)
        if copy:
            spool = self.folder / ("spool-" + name)
            spool.mkdir()
            script = str(spool / "slurm_script")
            shutil.copy(os.path.join(REPO, "cluster", name), script)
        environment = {k: v for k, v in os.environ.items() if not k.startswith("SLURM_") and k != "PARBENCH"}
        environment.update(PATH="%s:%s" % (self.bin, os.environ["PATH"]), SLURM_JOB_ID=JOB,
                           SLURM_JOB_NODELIST=NODELIST, SLURM_NTASKS="4", SLURM_SUBMIT_DIR=str(self.submit),
                           PARBENCH_PYTHON=str(self.bin / "python"), TREESEARCH=str(self.bin / "treesearch"),
                           BUILD_DIR=str(self.folder / "build"), SCRIPT_NAME=name, **env)
        return subprocess.run(["bash", script], capture_output=True, text=True, cwd=self.submit, env=environment,
                              timeout=60)


@pytest.fixture
def job(tmp_path):
    return Job(tmp_path)


def failure_line(name, call=("job", JOB), message=REFUSED):
    return "%s: scontrol show %s %s failed: %s" % (name, call[0], call[1], message)


@pytest.mark.parametrize("name", ["suite.sbatch", "nodes.sbatch"])
def test_a_copy_without_its_job_record_names_the_failure_and_stops(job, name):
    run = job.run(name, FAILING)
    assert run.returncode == 1, run.stdout + run.stderr
    assert run.stderr.splitlines() == [
        failure_line(name),
        "%s: no suite runner in %s; set PARBENCH to the repository's path" % (name, job.folder)]
    assert "runner:" not in run.stdout


def test_the_original_goes_on_without_its_job_record(job):
    run = job.run("suite.sbatch", FAILING, copy=False)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stderr.splitlines() == [failure_line("suite.sbatch")]
    assert run.stdout.startswith("runner: -m parbench --only treesearch --procs 1,2,4 "), run.stdout


def test_treesearch_goes_on_with_mpirun_as_it_is(job):
    run = job.run("treesearch.sbatch", FAILING)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stderr.splitlines()[0] == failure_line("treesearch.sbatch")
    assert run.stdout.splitlines()[-1] == "mpirun: %s" % (job.bin / "treesearch")


@pytest.mark.parametrize("name, status, stderr", [
    ("suite.sbatch", 0, []), ("treesearch.sbatch", 0, []),
    ("nodes.sbatch", 1, [failure_line("nodes.sbatch", ("hostnames", NODELIST))])])
def test_with_parbench_set_no_job_record_is_asked_for(job, name, status, stderr):
    run = job.run(name, FAILING, PARBENCH=REPO)
    assert run.returncode == status, run.stdout + run.stderr
    assert run.stderr.splitlines() == stderr


def test_a_copy_finds_the_repository_through_its_job_record(job):
    run = job.run("suite.sbatch", RECORD)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stderr == ""
    assert run.stdout.startswith("runner: -m parbench --only treesearch"), run.stdout


@pytest.mark.parametrize("scontrol, message", [(FAILING, REFUSED), (RECORD, "no host names")],
                         ids=["failing", "no hosts"])
def test_nodes_without_its_host_names_names_the_failure_and_stops(job, scontrol, message):
    run = job.run("nodes.sbatch", scontrol, copy=scontrol == RECORD)
    assert run.returncode == 1, run.stdout + run.stderr
    assert run.stderr.splitlines()[-1] == failure_line("nodes.sbatch", ("hostnames", NODELIST), message)
    assert "runner:" not in run.stdout
