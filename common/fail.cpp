#include "fail.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {
FailHandler failHandler = nullptr;
}

void setFailHandler(FailHandler handler) { failHandler = handler; }

void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", program_invocation_short_name);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    if (failHandler != nullptr) failHandler(1);
    std::exit(1);
}

void* checkedAlloc(std::size_t bytes, const char* what) {
    void* p = std::malloc(bytes);
    if (p == nullptr && bytes != 0)
        fail("cannot allocate %zu bytes for %s: out of memory", bytes, what);
    return p;
}
