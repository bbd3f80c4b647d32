// Running the built programs from tests: a scratch working directory, the MPI
// launcher, and captured output.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int exitStatus;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
    bool timedOut;   // stopped, with everything it started, at the time limit
    int leftovers;   // processes it started that were still there after it exited
};

// A fresh directory, removed with everything in it when the object goes.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path;
};

// Runs argv[0] with the given arguments in `cwd`, environment additions as
// "NAME=value" strings, and waits for it, at most `timeoutSeconds`. It runs in a
// session of its own, so that whatever it starts (MPI daemons included) can be
// found and stopped afterwards.
RunResult runProgram(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::vector<std::string>& env = {}, int timeoutSeconds = 300);

std::vector<std::string> splitLines(const std::string& text);

// Whether `line` matches the ECMAScript regular expression `pattern` in full.
bool fullMatch(const std::string& line, const std::string& pattern);
