#include "stopsignals.h"

#include "log.h"

#include <sys/signalfd.h>
#include <unistd.h>

namespace qv7::bridge {

sigset_t blockStopSignals()
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    return stops;
}

StopSignals::~StopSignals()
{
    notifier_.reset();
    if (fd_ >= 0)
        ::close(fd_);
}

bool StopSignals::watch(std::function<void()> onStop)
{
    fd_ = signalfd(-1, &stops_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        logEvent(Priority::Error, QStringLiteral("qv7-bridge: cannot watch for signals"));
        return false;
    }
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(),
                     std::move(onStop));
    return true;
}

} // namespace qv7::bridge
