#include "media/dispatch.h"

#include <pthread.h>

namespace media {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        if (isCurrent()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void SerialQueue::async(std::function<void()> block) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake_.notify_one();
}

void SerialQueue::run() {
    // Thread names are limited to 15 characters.
    pthread_setname_np(pthread_self(), label_.substr(0, 15).c_str());
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            if (blocks_.empty()) return;  // stopping and drained
            block = std::move(blocks_.front());
            blocks_.pop_front();
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
