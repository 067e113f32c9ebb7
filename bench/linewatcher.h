#pragma once

#include "benchsupport.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace qv7::bench {

// Watches the far end of the line from a thread of its own, so that the panel's writes never
// wait on a full pseudo-terminal: the time each whole command arrived, the torn ones (a
// carriage return that ends a piece of other than four bytes) and the bytes still waiting for
// their carriage return.
class LineWatcher {
public:
    explicit LineWatcher(int fd)
        : fd_(fd)
        , thread_([this] { run(); })
    {
    }
    ~LineWatcher()
    {
        running_ = false;
        thread_.join();
    }
    LineWatcher(const LineWatcher &) = delete;
    LineWatcher &operator=(const LineWatcher &) = delete;

    void reset()
    {
        const std::lock_guard lock(mutex_);
        arrivals_.clear();
        pending_.clear();
        torn_ = 0;
        firstByte_.reset();
    }
    std::vector<Steady::time_point> arrivals() const
    {
        const std::lock_guard lock(mutex_);
        return arrivals_;
    }
    long whole() const
    {
        const std::lock_guard lock(mutex_);
        return long(arrivals_.size());
    }
    long torn() const
    {
        const std::lock_guard lock(mutex_);
        return torn_;
    }
    std::size_t waiting() const
    {
        const std::lock_guard lock(mutex_);
        return pending_.size();
    }
    std::optional<Steady::time_point> firstByte() const
    {
        const std::lock_guard lock(mutex_);
        return firstByte_;
    }

private:
    void run()
    {
        char buffer[4096];
        while (running_) {
            pollfd watch{fd_, POLLIN, 0};
            if (::poll(&watch, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            const auto now = Steady::now();
            if (n <= 0)
                continue;
            const std::lock_guard lock(mutex_);
            if (!firstByte_)
                firstByte_ = now;
            for (ssize_t i = 0; i < n; ++i) {
                pending_.push_back(buffer[i]);
                if (buffer[i] != '\r')
                    continue;
                if (pending_.size() == 4)
                    arrivals_.push_back(now);
                else
                    ++torn_;
                pending_.clear();
            }
        }
    }

    int fd_;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    std::vector<Steady::time_point> arrivals_;
    std::optional<Steady::time_point> firstByte_;
    std::string pending_;
    long torn_ = 0;
    std::thread thread_;
};

} // namespace qv7::bench
