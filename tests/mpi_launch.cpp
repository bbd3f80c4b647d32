#include "mpi_launch.h"

#include <unistd.h>

#include <regex>
#include <sstream>
#include <stdexcept>

#include "program_support.h"

namespace {

bool isOpenMpi(MpiFamily f) { return f == MpiFamily::OpenMpi4 || f == MpiFamily::OpenMpi5; }

MpiFamily knownFamily() {
    const MpiFamily family = launcher().family;
    if (family == MpiFamily::Unknown)
        throw std::runtime_error(std::string("the launcher ") + MPIEXEC_EXECUTABLE +
                                 " is of no MPI family the tests know (Open MPI 4 or 5, MPICH's Hydra)");
    return family;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

}  // namespace

MpiLauncher mpiLauncherFromVersion(const std::string& versionOutput) {
    std::smatch m;
    // "mpirun (Open MPI) 5.0.7", or "mpiexec (OpenRTE) 4.1.4" from the same package.
    if (std::regex_search(versionOutput, m, std::regex(R"(\((?:Open MPI|OpenRTE)\) (\d+)\.(\d+))"))) {
        const int major = std::stoi(m[1]);
        return {major >= 5 ? MpiFamily::OpenMpi5 : MpiFamily::OpenMpi4, major, std::stoi(m[2])};
    }
    if (std::regex_search(versionOutput, m, std::regex(R"(HYDRA build details:\s+Version:\s+(\d+)\.(\d+))")))
        return {MpiFamily::Hydra, std::stoi(m[1]), std::stoi(m[2])};
    return {MpiFamily::Unknown, 0, 0};
}

MpiLauncher launcher() {
    // Open MPI 5 with PMIx 5 may print its version on standard error.
    static const MpiLauncher found = [] {
        const RunResult run = runProgram({MPIEXEC_EXECUTABLE, "--version"}, "/", {}, 60);
        return mpiLauncherFromVersion(run.out + run.err);
    }();
    return found;
}

std::vector<std::string> mpiLaunch(int procs, const std::vector<std::string>& extra) {
    const MpiFamily family = launcher().family;
    std::vector<std::string> cmd{MPIEXEC_EXECUTABLE, MPIEXEC_NUMPROC_FLAG, std::to_string(procs)};
    // Hydra oversubscribes by default and runs as root without being told.
    if (isOpenMpi(family)) {
        cmd.push_back("--oversubscribe");
        if (geteuid() == 0) cmd.push_back("--allow-run-as-root");
    }
    // Open MPI 5.0's TCP transport cannot pair interfaces on hosts that have
    // IPv4 and IPv6 addresses (open-mpi/ompi#14079): it warns on every run and
    // TCP-only runs fail in MPI_Init. IPv4 alone is what the tests use.
    if (family == MpiFamily::OpenMpi5) cmd.insert(cmd.end(), {"--mca", "btl_tcp_disable_family", "6"});
    std::istringstream preflags(MPIEXEC_PREFLAGS);
    for (std::string flag; preflags >> flag;) cmd.push_back(flag);
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    return cmd;
}

std::optional<LaunchSetting> tcpOnly(std::string& why) {
    if (isOpenMpi(knownFamily())) return LaunchSetting{{"--mca", "btl", "self,tcp"}, {}};
    const MpiLauncher mpich = launcher();
    if (mpich.major < 4 || (mpich.major == 4 && mpich.minor < 1)) {
        why = "MPICH before 4.1 (with UCX 1.13) hangs in MPI_Finalize when its processes use TCP alone";
        return std::nullopt;
    }
    // MPICH's own shared memory off, and UCX (Debian's MPICH netmod) on TCP alone.
    return LaunchSetting{{}, {"MPIR_CVAR_NOLOCAL=1", "UCX_TLS=tcp,self"}};
}

std::optional<LaunchSetting> sharedMemoryOnly(std::string& why) {
    switch (knownFamily()) {
        case MpiFamily::OpenMpi4: return LaunchSetting{{"--mca", "btl", "self,vader"}, {}};
        case MpiFamily::OpenMpi5: return LaunchSetting{{"--mca", "btl", "self,sm"}, {}};
        default:
            // UCX's shared-memory transports reach any process of the machine,
            // whatever host name its node has; TCP alone is the proof there.
            why = "UCX's shared memory reaches across stand-in hosts on one machine";
            return std::nullopt;
    }
}

LaunchSetting remoteHosts(const std::string& agent, const std::vector<std::string>& hosts) {
    switch (knownFamily()) {
        case MpiFamily::OpenMpi4:
            return {{"--mca", "plm", "rsh", "--mca", "plm_rsh_agent", agent, "--bind-to", "none", "--host",
                     joined(hosts)},
                    {}};
        case MpiFamily::OpenMpi5:
            // PRRTE launches the daemons; its component is ssh, rsh being an alias.
            return {{"--prtemca", "plm", "ssh", "--prtemca", "plm_ssh_agent", agent, "--bind-to", "none",
                     "--host", joined(hosts)},
                    {}};
        default:
            // The proxies connect back to mpiexec by the address of the interface
            // named here; the stand-in hosts are all on loopback.
            return {{"-launcher", "ssh", "-launcher-exec", agent, "-iface", "lo", "-hosts", joined(hosts)}, {}};
    }
}

std::vector<std::string> inDirectoryOfRank(const std::string& exe, const std::vector<std::string>& dirs) {
    // The rank as the launcher hands it to each process before MPI_Init.
    const std::string rank = isOpenMpi(knownFamily()) ? "OMPI_COMM_WORLD_RANK" : "PMI_RANK";
    std::vector<std::string> cmd{"/bin/sh", "-c",
                                 "exe=$1; shift; shift \"${" + rank + ":?}\"; cd \"$1\" && exec \"$exe\"", "sh",
                                 exe};
    cmd.insert(cmd.end(), dirs.begin(), dirs.end());
    return cmd;
}

bool failedToStart(const RunResult& run) {
    return run.exitStatus != 0 && run.err.find("OPAL ERROR: Unreachable") != std::string::npos;
}

std::string withoutLauncherNoise(const std::string& err) {
    // Open MPI's launcher races its own children to setpgid and warns when a
    // child has already started the agent: "plm:rsh:" in 4, "plm:ssh:" in 5.
    const std::regex setpgidRace(R"(plm:[rs]sh: Warning: setpgid\()");
    std::string kept;
    for (const std::string& line : splitLines(err))
        if (!std::regex_search(line, setpgidRace)) kept += line + "\n";
    return kept;
}
