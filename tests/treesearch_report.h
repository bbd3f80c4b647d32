// What a tree search run must show, shared by the one-host and the two-node tests.
#pragma once

#include <string>

#include "program_support.h"

// A complete, valid report of `procs` processes run in `dir`: the root's lines
// in order, one row per process with contiguous ranges, equal counts, and a
// total that an independent count of the tree file confirms.
void expectValidTreeSearchReport(const RunResult& run, int procs, const std::string& dir);

// A run that stopped with a message on standard error naming `reason`, and no verdict.
void expectTreeSearchFailure(const RunResult& run, const std::string& reason);
