// Helper threads that take shares of one piece of work beside the thread that
// starts them: the wavefront's rows, an ordered pattern's rows, the reader.
#pragma once

#include <functional>
#include <thread>
#include <vector>

// Starts one thread running body: std::thread's constructor, which throws
// std::system_error when the system refuses a thread and std::bad_alloc when
// memory runs out for its state. Tests put a refusing starter here.
extern std::thread (*scan_helper_starter)(std::function<void()> body);

// The helpers of one piece of work, joined at the latest when this goes, an
// exception's way out included. Neither memory running out nor a refused
// thread ends the process: a helper that cannot be had leaves its share to
// the threads already running. Shares are written to let no exception out;
// should one, it ends its own thread, not the process.
class helper_threads {
public:
    helper_threads() = default;
    helper_threads(const helper_threads &) = delete;
    helper_threads &operator=(const helper_threads &) = delete;
    ~helper_threads() { join(); }

    // Starts up to `count` helpers, helper t (1 ... count) running share(t),
    // and stops at the first that cannot be had. Returns how many run. The
    // share is copied here, where running out of memory for the copy is
    // caught too.
    template <typename share_t>
    int start(int count, const share_t &share) noexcept
    {
        join();
        try {
            share_ = share;
        } catch (...) {
            return 0;
        }
        return start_helpers(count);
    }

    int running() const { return static_cast<int>(threads_.size()); }
    // Waits for every helper; after it none runs.
    void join() noexcept;

private:
    int start_helpers(int count) noexcept;
    void run_share(int t) noexcept;

    std::function<void(int)> share_;
    std::vector<std::thread> threads_;
};
