#include "engine/helper_threads.h"

#include <utility>

std::thread (*scan_helper_starter)(std::function<void()> body) = [](std::function<void()> body) {
    return std::thread(std::move(body));
};

// Every allocation of a start (the list's room, the thread's state) is made
// here on the starting thread, where its failure is caught: the body handed
// to the starter is small enough for std::function to hold without one, and
// the new thread takes nothing before its share runs.
int helper_threads::start_helpers(int count) noexcept
{
    try {
        threads_.reserve(static_cast<size_t>(count > 0 ? count : 0));
        for (int t = 1; t <= count; ++t)
            threads_.push_back(scan_helper_starter([this, t] { run_share(t); }));
    } catch (...) {
        // std::system_error or std::bad_alloc: the helpers had so far run.
    }
    return running();
}

void helper_threads::run_share(int t) noexcept
{
    // An exception out of a thread's function would end the process.
    try {
        share_(t);
    } catch (...) {
    }
}

void helper_threads::join() noexcept
{
    // Joining fails only for a thread that is not ours or already joined,
    // which none of these is.
    for (std::thread &thread : threads_)
        if (thread.joinable())
            thread.join();
    threads_.clear();
}
