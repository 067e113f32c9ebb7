#pragma once

#include <QSocketNotifier>

#include <csignal>
#include <functional>
#include <memory>

namespace qv7::bridge {

// Blocks SIGINT and SIGTERM in this thread and in those it starts from now on, so that they
// wait for StopSignals to read them: call before anything starts a thread.
sigset_t blockStopSignals();

// The stop signals, read by the event loop from a signalfd rather than taken by a handler, so
// that a stop may do what any other event does.
class StopSignals {
public:
    explicit StopSignals(const sigset_t &stops)
        : stops_(stops)
    {
    }
    ~StopSignals();
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // From now on each one that comes calls onStop in the event loop; false, with the reason
    // logged, when they cannot be watched.
    bool watch(std::function<void()> onStop);

private:
    sigset_t stops_;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace qv7::bridge
