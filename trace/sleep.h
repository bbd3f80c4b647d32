// The sleep wrappers (sleep.cpp), shared by the two ways of seeing an OpenMP
// program's regions: openmp.cpp (libgomp's entry points) and libomp.cpp
// (LLVM's libomp's). Whichever is built keeps `lane`; a sleep is a work item
// only while it is set, for a program's sequential phase sleeps on the main
// thread outside any region.
#pragma once

namespace parbench_trace {

// The calling thread's number in the traced region whose share it is running,
// -1 outside one.
extern thread_local int lane;

}  // namespace parbench_trace
