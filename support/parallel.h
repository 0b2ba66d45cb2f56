// Work shared among threads: jobs numbered 0 to count - 1, handed out in order to a
// few workers, the calling thread among them. A job's result must not depend on which
// worker runs it, so that the output never depends on the thread count.
#pragma once

#include <cstdint>
#include <functional>

// The machine's cores, at least 1.
int DefaultThreadCount();

// Runs body(job, worker) for every job on at most `threads` workers and returns when all
// are done; worker is 0 to threads - 1 (per-worker scratch). A thread that cannot be
// started leaves its share to the others.
void ParallelFor(int threads, int64_t count, const std::function<void(int64_t job, int worker)>& body);
