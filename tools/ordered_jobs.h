#pragma once
// Work spread over a few threads, its results handed back in order on the calling thread.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

// Runs `work(index)` for every index below `count`, on up to `jobs` threads at once. On the
// calling thread, `onResult(index, result)` gets each result in index order as soon as it
// and all before it are done, and `onTick(done)` the number of indexes done whenever it
// grows, and at least once every `tick` while the work goes on.
template <typename Result, typename Work, typename OnResult, typename OnTick>
void RunInOrder(size_t count, int jobs, std::chrono::milliseconds tick, Work work, OnResult onResult, OnTick onTick)
{
    std::mutex mutex;  // guards the three below
    std::condition_variable changed;
    std::vector<std::optional<Result>> results(count);
    size_t next = 0;
    size_t done = 0;

    auto worker = [&] {
        for (;;) {
            size_t index = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (next == count)
                    return;
                index = next++;
            }
            Result result = work(index);
            {
                std::lock_guard<std::mutex> lock(mutex);
                results[index] = std::move(result);
                ++done;
            }
            changed.notify_one();
        }
    };
    std::vector<std::thread> workers;
    const size_t workerCount = std::min(count, static_cast<size_t>(std::max(jobs, 1)));
    for (size_t i = 0; i < workerCount; ++i)
        workers.emplace_back(worker);

    size_t seen = 0;
    size_t delivered = 0;
    while (delivered < count) {
        std::vector<Result> ready;
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait_for(lock, tick, [&] { return done > seen; });
            seen = done;
            for (size_t index = delivered; index < count && results[index]; ++index)
                ready.push_back(std::move(*results[index]));
        }
        for (const Result& result : ready)
            onResult(delivered++, result);
        onTick(seen);
    }
    for (std::thread& thread : workers)
        thread.join();
}
