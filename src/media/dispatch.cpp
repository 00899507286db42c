#include "media/dispatch.h"

#include <pthread.h>

namespace media {

SerialQueue::SerialQueue(std::string label) : state_(std::make_shared<State>()) {
    state_->label = std::move(label);
    thread_ = std::thread(run, state_);
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_one();
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        // Released from one of its own blocks: the thread ends after that block.
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> block) {
    // Once queued, the block may release this queue: touch only our own reference.
    const std::shared_ptr<State> state = state_;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->blocks.push_back(std::move(block));
    }
    state->wake.notify_one();
}

void SerialQueue::run(std::shared_ptr<State> state) {
    // Thread names are limited to 15 characters.
    pthread_setname_np(pthread_self(), state->label.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->blocks.empty(); });
            if (state->blocks.empty()) return;  // stopping and drained
            block = std::move(state->blocks.front());
            state->blocks.pop_front();
        }
        block();
    }
}

void Group::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
}

void Group::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ <= 0) zero_.notify_all();
}

void Group::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    zero_.wait(lock, [this] { return count_ <= 0; });
}

void Semaphore::signal() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++count_;
    available_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    available_.wait(lock, [this] { return count_ > 0; });
    --count_;
}

}  // namespace media
