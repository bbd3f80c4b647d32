// Preloaded into an OpenMP program: wraps libgomp's entry points for parallel
// regions (and their combined loop forms) and libc's sleeps, then calls the
// real ones found by dlsym(RTLD_NEXT). libgomp has no tools interface, so this
// is how a region's threads are seen.
//
// Each thread's share of a region is timed by wrapping the outlined function
// the compiler hands to GOMP_parallel*. A sleep is work only inside a region:
// a program's sequential phase sleeps on the main thread outside any.
//
// The critical section is left alone. queuedrain enters it 100,000 times in
// about a millisecond; even a wrapper that only counts adds a call to each
// entry and exit, measured at about 15 % of that phase, and timing each
// entry would cost several times the phase.
#include <dlfcn.h>
#include <omp.h>
#include <ctime>
#include <unistd.h>

#include "record.h"

using namespace parbench_trace;

namespace {

using Outlined = void (*)(void*);

struct Call {
    Outlined fn;
    void* data;
};

thread_local int depth = 0;       // regions this thread is inside
thread_local int thread = -1;     // its number in the innermost one
thread_local bool sleeping = false;

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Runs on every thread of the team.
void share(void* argument) {
    const Call* call = static_cast<const Call*>(argument);
    const int outer = thread;
    ++depth;
    thread = omp_get_thread_num();
    const std::int64_t start = now();
    call->fn(call->data);
    const std::int64_t end = now();
    record({Kind::Region, thread, start, end, 0, nullptr});
    --depth;
    thread = outer;
}

// Opens a region through `open`, wrapped when tracing and not nested.
template <typename Open>
void traced(Outlined fn, void* data, Open open) {
    if (!enabled() || depth > 0) {
        open(fn, data);
        return;
    }
    Call call{fn, data};
    const std::int64_t start = now();
    open(share, &call);
    record({Kind::Span, -1, start, now(), 0, nullptr});
}

void slept(std::int64_t start, std::int64_t asked) {
    if (depth > 0) record({Kind::Work, thread, start, now(), asked, nullptr});
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void GOMP_parallel(Outlined fn, void* data, unsigned threads,
                                                          unsigned flags) {
    static auto next = real<void (*)(Outlined, void*, unsigned, unsigned)>("GOMP_parallel");
    traced(fn, data, [&](Outlined f, void* d) { next(f, d, threads, flags); });
}

// The combined parallel loops, in each schedule the compiler may pick.
#define PARBENCH_WRAP_LOOP(NAME)                                                                       \
    __attribute__((visibility("default"))) void NAME(Outlined fn, void* data, unsigned threads, long start, \
                                                     long end, long incr, long chunk, unsigned flags) {   \
        static auto next = real<void (*)(Outlined, void*, unsigned, long, long, long, long, unsigned)>(#NAME); \
        traced(fn, data, [&](Outlined f, void* d) { next(f, d, threads, start, end, incr, chunk, flags); }); \
    }
#define PARBENCH_WRAP_RUNTIME_LOOP(NAME)                                                              \
    __attribute__((visibility("default"))) void NAME(Outlined fn, void* data, unsigned threads, long start, \
                                                     long end, long incr, unsigned flags) {               \
        static auto next = real<void (*)(Outlined, void*, unsigned, long, long, long, unsigned)>(#NAME);  \
        traced(fn, data, [&](Outlined f, void* d) { next(f, d, threads, start, end, incr, flags); });      \
    }

PARBENCH_WRAP_LOOP(GOMP_parallel_loop_static)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_dynamic)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_guided)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_nonmonotonic_dynamic)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_nonmonotonic_guided)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_runtime)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_nonmonotonic_runtime)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_maybe_nonmonotonic_runtime)

__attribute__((visibility("default"))) int usleep(useconds_t useconds) {
    static auto next = real<int (*)(useconds_t)>("usleep");
    if (sleeping || depth == 0) return next(useconds);
    sleeping = true;
    const std::int64_t start = now();
    const int result = next(useconds);
    slept(start, useconds);
    sleeping = false;
    return result;
}

__attribute__((visibility("default"))) int nanosleep(const timespec* requested_time, timespec* remaining) {
    static auto next = real<int (*)(const timespec*, timespec*)>("nanosleep");
    if (sleeping || depth == 0 || !requested_time) return next(requested_time, remaining);
    sleeping = true;
    const std::int64_t start = now();
    const int result = next(requested_time, remaining);
    slept(start, requested_time->tv_sec * 1000000 + requested_time->tv_nsec / 1000);
    sleeping = false;
    return result;
}

}  // extern "C"
