// Everything the tests need to know about the MPI launcher CMake found: which
// family it is, and how that family is told each thing a test asks of it. No
// test names a launcher option; they ask here.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "program_support.h"

enum class MpiFamily { OpenMpi4, OpenMpi5, Hydra, Unknown };

struct MpiLauncher {
    MpiFamily family;
    int major, minor;  // the version it states, 0.0 when none
};

// What a launcher's `--version` output (both streams) says it is.
MpiLauncher mpiLauncherFromVersion(const std::string& versionOutput);

// The launcher the tests use, asked once.
MpiLauncher launcher();

// Options and environment additions ("NAME=value") for one launch.
struct LaunchSetting {
    std::vector<std::string> args;
    std::vector<std::string> env;
};

// The launcher for `procs` processes, allowed more than the machine's cores and
// to run as root, with any MPIEXEC_PREFLAGS; `extra` follows, then the program.
std::vector<std::string> mpiLaunch(int procs, const std::vector<std::string>& extra = {});

// Processes that talk over TCP only, as processes on different hosts do; none
// where this MPI cannot be run so (the reason is in `why`).
std::optional<LaunchSetting> tcpOnly(std::string& why);

// Processes that may use shared memory only, which cannot join two hosts; none
// where that cannot be said in a way that fails between the stand-in hosts.
std::optional<LaunchSetting> sharedMemoryOnly(std::string& why);

// Daemons (or proxies) started on other hosts through `agent`, which stands in
// for ssh, on `hosts` given as "address:slots"; processes are not bound.
LaunchSetting remoteHosts(const std::string& agent, const std::vector<std::string>& hosts);

// A command that runs `exe` with rank r in dirs[r]: working directories that
// differ between processes, as on hosts that share no file system.
std::vector<std::string> inDirectoryOfRank(const std::string& exe, const std::vector<std::string>& dirs);

// A launch that failed inside MPI_Init before the program ran, as MPI start-up
// now and then does on a busy machine; worth one more try.
bool failedToStart(const RunResult& run);

// Standard error without the launcher's known harmless lines.
std::string withoutLauncherNoise(const std::string& err);
