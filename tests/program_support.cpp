#include "program_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
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

using Clock = std::chrono::steady_clock;

// Live processes of session `sid`; zombies are already gone in all but name.
std::vector<pid_t> sessionMembers(pid_t sid) {
    std::vector<pid_t> pids;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = slurp(entry.path().string() + "/stat");
        // The command name may hold blanks and parentheses: fields follow the last ')'.
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        char state = 0;
        long ppid = 0, pgrp = 0, session = 0;
        if (fields >> state >> ppid >> pgrp >> session && session == sid && state != 'Z')
            pids.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return pids;
}

void signalSession(pid_t sid, int signal) {
    for (pid_t pid : sessionMembers(sid)) kill(pid, signal);
}

// Waits for `pid` until `deadline`; true when it has exited.
bool waitUntil(pid_t pid, int& status, Clock::time_point deadline) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) return true;
        if (Clock::now() >= deadline) return false;
        usleep(20000);
    }
}

}  // namespace

RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& env, int timeoutSeconds) {
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
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0 || setsid() < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    bool timedOut = false;
    if (!waitUntil(pid, status, Clock::now() + std::chrono::seconds(timeoutSeconds))) {
        // A launcher told to stop stops its daemons; whatever is left is killed.
        timedOut = true;
        kill(pid, SIGTERM);
        if (!waitUntil(pid, status, Clock::now() + std::chrono::seconds(5))) {
            signalSession(pid, SIGKILL);
            waitUntil(pid, status, Clock::time_point::max());
        }
    }
    // Daemons may take a moment to follow their launcher out.
    const Clock::time_point grace = Clock::now() + std::chrono::seconds(3);
    std::vector<pid_t> left = sessionMembers(pid);
    while (!left.empty() && Clock::now() < grace) {
        usleep(50000);
        left = sessionMembers(pid);
    }
    signalSession(pid, SIGKILL);
    return RunResult{WIFEXITED(status) && !timedOut ? WEXITSTATUS(status) : -1, slurp(outFile),
                     slurp(errFile), timedOut, static_cast<int>(left.size())};
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
