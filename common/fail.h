// Uniform handling of the failures the programs cannot run past: one line on
// standard error naming what failed and why, then a non-zero exit.
#pragma once

#include <cstddef>

// Called instead of exit() once the message is out; the MPI program installs
// one that takes every process down with it.
using FailHandler = void (*)(int status);
void setFailHandler(FailHandler handler);

// Prints "<program>: <message>\n" on standard error and ends the program with status 1.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// malloc that ends the program with a message naming `what` instead of returning null.
void* checkedAlloc(std::size_t bytes, const char* what);
