// Preloaded into an OpenMP program built against GCC's libgomp: wraps its
// entry points for parallel regions (and their combined loop forms), then
// calls the real ones found by dlsym(RTLD_NEXT). libgomp has no tools
// interface, so this is how a region's threads are seen; sleep.cpp wraps the
// sleeps.
//
// Each thread's share of a region is timed by wrapping the outlined function
// the compiler hands to GOMP_parallel*.
//
// The critical section is left alone. queuedrain enters it 100,000 times in
// about a millisecond; even a wrapper that only counts adds a call to each
// entry and exit, measured at about 15 % of that phase, and timing each
// entry would cost several times the phase.
#include <dlfcn.h>
#include <omp.h>

#include "record.h"
#include "sleep.h"

using namespace parbench_trace;

namespace {

using Outlined = void (*)(void*);

struct Call {
    Outlined fn;
    void* data;
};

thread_local int depth = 0;  // regions this thread is inside

template <typename F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Runs on every thread of the team.
void share(void* argument) {
    const Call* call = static_cast<const Call*>(argument);
    const int outer = lane;
    ++depth;
    lane = omp_get_thread_num();
    const std::int64_t start = now();
    call->fn(call->data);
    const std::int64_t end = now();
    record({Kind::Region, lane, start, end, 0, nullptr});
    --depth;
    lane = outer;
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

}  // namespace

// The real entry points, found as the library is loaded: a dlsym at a
// region's first entry would fall inside the program's timed phase.
#define PARBENCH_REAL(NAME, TYPE) const auto NAME##_real = real<TYPE>(#NAME);

extern "C" {

PARBENCH_REAL(GOMP_parallel, void (*)(Outlined, void*, unsigned, unsigned))
__attribute__((visibility("default"))) void GOMP_parallel(Outlined fn, void* data, unsigned threads,
                                                          unsigned flags) {
    traced(fn, data, [&](Outlined f, void* d) { GOMP_parallel_real(f, d, threads, flags); });
}

// The combined parallel loops, in each schedule the compiler may pick.
#define PARBENCH_WRAP_LOOP(NAME)                                                                            \
    PARBENCH_REAL(NAME, void (*)(Outlined, void*, unsigned, long, long, long, long, unsigned))             \
    __attribute__((visibility("default"))) void NAME(Outlined fn, void* data, unsigned threads, long start, \
                                                     long end, long incr, long chunk, unsigned flags) {    \
        traced(fn, data,                                                                                    \
               [&](Outlined f, void* d) { NAME##_real(f, d, threads, start, end, incr, chunk, flags); });  \
    }
#define PARBENCH_WRAP_RUNTIME_LOOP(NAME)                                                                    \
    PARBENCH_REAL(NAME, void (*)(Outlined, void*, unsigned, long, long, long, unsigned))                   \
    __attribute__((visibility("default"))) void NAME(Outlined fn, void* data, unsigned threads, long start, \
                                                     long end, long incr, unsigned flags) {                \
        traced(fn, data, [&](Outlined f, void* d) { NAME##_real(f, d, threads, start, end, incr, flags); }); \
    }

PARBENCH_WRAP_LOOP(GOMP_parallel_loop_static)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_dynamic)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_guided)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_nonmonotonic_dynamic)
PARBENCH_WRAP_LOOP(GOMP_parallel_loop_nonmonotonic_guided)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_runtime)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_nonmonotonic_runtime)
PARBENCH_WRAP_RUNTIME_LOOP(GOMP_parallel_loop_maybe_nonmonotonic_runtime)

}  // extern "C"
