#include "program_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "parbench-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

namespace {

std::string slurp(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& env) {
    // Output goes to files beside the scratch directory, not into it, so that the
    // program sees only what the test put there.
    ScratchDir capture;
    const std::string outFile = capture.path + "/stdout";
    const std::string errFile = capture.path + "/stderr";
    // Built before the fork: the child only calls what is safe after one.
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    return RunResult{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(outFile), slurp(errFile)};
}

std::vector<std::string> mpiLaunch(int procs, const std::vector<std::string>& extra) {
    std::vector<std::string> cmd{MPIEXEC_EXECUTABLE, MPIEXEC_NUMPROC_FLAG, std::to_string(procs)};
    std::istringstream preflags(MPIEXEC_PREFLAGS);
    for (std::string flag; preflags >> flag;) cmd.push_back(flag);
    cmd.insert(cmd.end(), extra.begin(), extra.end());
    return cmd;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool fullMatch(const std::string& line, const std::string& pattern) {
    return std::regex_match(line, std::regex(pattern));
}
