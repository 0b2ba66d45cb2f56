// Work shared among threads: an atomic counter hands out the jobs.
#include "support/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

int DefaultThreadCount()
{
    const unsigned cores = std::thread::hardware_concurrency();
    return cores == 0 ? 1 : int(cores);
}

void ParallelFor(int threads, int64_t count, const std::function<void(int64_t job, int worker)>& body)
{
    std::atomic<int64_t> next{0};
    const auto work = [&](int worker) {
        for (int64_t job; (job = next.fetch_add(1)) < count;)
            body(job, worker);
    };
    const int64_t wanted = threads < 1 ? 1 : threads;
    const int workers = int(wanted < count ? wanted : count);
    std::vector<std::thread> started;
    // NOTE: the standard library reports a thread it cannot start by throwing; the jobs
    // are then shared by the workers that did start.
    try {
        started.reserve(size_t(workers));
        for (int w = 1; w < workers; ++w)
            started.emplace_back(work, w);
    } catch (const std::exception&) {
    }
    work(0);
    for (std::thread& thread : started)
        thread.join();
}

size_t ChunkCount(size_t count, size_t chunk_size)
{
    return (count + chunk_size - 1) / chunk_size;
}

void ParallelForChunks(int threads, size_t count, size_t chunk_size,
                       const std::function<void(size_t begin, size_t end, size_t chunk)>& body)
{
    ParallelFor(threads, int64_t(ChunkCount(count, chunk_size)), [&](int64_t job, int) {
        const size_t begin = size_t(job) * chunk_size;
        body(begin, begin + std::min(chunk_size, count - begin), size_t(job));
    });
}
