// Work shared among threads: jobs numbered 0 to count - 1, handed out in order to a
// few workers, the calling thread among them. A job's result must not depend on which
// worker runs it, so that the output never depends on the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The machine's cores, at least 1.
int DefaultThreadCount();

// Runs body(job, worker) for every job on at most `threads` workers and returns when all
// are done; worker is 0 to threads - 1 (per-worker scratch). A thread that cannot be
// started leaves its share to the others.
void ParallelFor(int threads, int64_t count, const std::function<void(int64_t job, int worker)>& body);

// The same over the items [0, count) in consecutive chunks of `chunk_size` (the last may
// be short): body(begin, end, chunk) for each, chunk numbered from 0 for per-chunk results.
size_t ChunkCount(size_t count, size_t chunk_size);
void ParallelForChunks(int threads, size_t count, size_t chunk_size,
                       const std::function<void(size_t begin, size_t end, size_t chunk)>& body);
