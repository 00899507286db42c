// Serial queues, a counting group and a semaphore: the small set of concurrency
// primitives the job and the media layer share. No polling and no time-outs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace media {

// Runs submitted blocks one at a time, in order, on one thread of its own.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();  // runs what is queued, then joins
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return state_->label; }
    void async(std::function<void()> block);
    // True when called from a block running on this queue.
    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    // Shared with the thread, so that a queue released by one of its own blocks
    // can let the thread finish on state that is still alive.
    struct State {
        std::string label;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> blocks;
        bool stopping = false;
    };
    static void run(std::shared_ptr<State> state);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Counts running tasks; wait() returns once every enter() has had its leave().
class Group {
public:
    void enter();
    void leave();
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable zero_;
    std::int64_t count_ = 0;
};

class Semaphore {
public:
    explicit Semaphore(std::int64_t count = 0) : count_(count) {}
    void signal();
    void wait();

private:
    std::mutex mutex_;
    std::condition_variable available_;
    std::int64_t count_;
};

}  // namespace media
