// Spreading independent work over the router's processors.
//
// Loading the package database is mostly the kernel finding and opening small
// files, thousands of them, each independent of the others. On a router with
// more than one processor these run side by side on a few threads; with one
// processor, or when a thread cannot be started, everything runs on the
// calling thread, in the same order, with the same result.
#pragma once

#include <cstddef>
#include <functional>

namespace parallel {

// Calls work(begin, end) over consecutive ranges of at most `grain` indices
// that together cover [0, count) once each, on the calling thread and on up
// to three more threads, one per further processor the process may run on
// and only as many as there are ranges beyond the first few. Returns when
// every range is done. `work` must touch only data of its own indices, or
// data that no call changes.
void for_ranges(size_t count, size_t grain, const std::function<void(size_t begin, size_t end)>& work);

}  // namespace parallel
