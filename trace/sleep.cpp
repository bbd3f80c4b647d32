// libc's two sleeps, wrapped: inside a traced region's share each is a work
// item of that thread. The real ones are found by dlsym(RTLD_NEXT).
#include "sleep.h"

#include <dlfcn.h>
#include <unistd.h>

#include <ctime>

#include "record.h"

using namespace parbench_trace;

namespace parbench_trace {
thread_local int lane = -1;
}

namespace {

// One sleep may be made of the other inside libc: counted once.
thread_local bool sleeping = false;

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Found as the library is loaded, as openmp.cpp and libomp.cpp find the runtime's.
const auto realUsleep = real<int (*)(useconds_t)>("usleep");
const auto realNanosleep = real<int (*)(const timespec*, timespec*)>("nanosleep");

void slept(std::int64_t start, std::int64_t asked) {
    record({Kind::Work, lane, start, now(), asked, nullptr});
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int usleep(useconds_t useconds) {
    if (sleeping || lane < 0) return realUsleep(useconds);
    sleeping = true;
    const std::int64_t start = now();
    const int result = realUsleep(useconds);
    slept(start, useconds);
    sleeping = false;
    return result;
}

__attribute__((visibility("default"))) int nanosleep(const timespec* requested_time, timespec* remaining) {
    if (sleeping || lane < 0 || !requested_time) return realNanosleep(requested_time, remaining);
    sleeping = true;
    const std::int64_t start = now();
    const int result = realNanosleep(requested_time, remaining);
    slept(start, requested_time->tv_sec * 1000000 + requested_time->tv_nsec / 1000);
    sleeping = false;
    return result;
}

}  // extern "C"
