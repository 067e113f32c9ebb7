// A long hold at the fastest repeat, 5 ms: does every command the panel sends arrive whole at
// the far end, and do memory and the window thread's CPU time stay flat? --seconds sets the
// length of the hold (60 by default); a row of figures comes every tenth of it.

#include "benchsupport.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

using namespace qv7;
using namespace qv7::bench;

namespace {

// Counts the commands that arrive on the master side, whole or torn, from a thread of its
// own so that the panel's writes never wait on a full pseudo-terminal.
class CommandCounter {
public:
    struct Counts {
        long whole = 0;
        long torn = 0;           // a carriage return that ends a piece of other than four bytes
        std::size_t waiting = 0; // bytes after the last carriage return
    };

    explicit CommandCounter(int fd)
        : fd_(fd)
        , thread_([this] { run(); })
    {
    }
    ~CommandCounter()
    {
        running_ = false;
        thread_.join();
    }

    Counts counts() const
    {
        const std::lock_guard lock(mutex_);
        return {counts_.whole, counts_.torn, pending_.size()};
    }
    void reset()
    {
        const std::lock_guard lock(mutex_);
        counts_ = {};
        pending_.clear();
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
            const std::lock_guard lock(mutex_);
            for (ssize_t i = 0; i < n; ++i) {
                pending_.push_back(buffer[i]);
                if (buffer[i] != '\r')
                    continue;
                ++(pending_.size() == 4 ? counts_.whole : counts_.torn);
                pending_.clear();
            }
        }
    }

    int fd_;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    Counts counts_;
    std::string pending_;
    std::thread thread_;
};

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    QApplication app(argc, argv);
    const double seconds = option(QApplication::arguments(), QStringLiteral("seconds"), 60);

    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    CommandCounter counter(line.masterFd());

    // A D.Zoom release leaves the arrows repeating at 5 ms.
    auto *zoom = form.control(QStringLiteral("Command48"));
    QTest::mousePress(zoom, Qt::LeftButton);
    QTest::mouseRelease(zoom, Qt::LeftButton);
    runFor(0.3);
    counter.reset();
    const int period = form.Timer1->interval();

    // Connected after the panel's own handler, so a tick counts only when it sent: a tick that
    // fails ends the hold first.
    long sent = 0;
    QObject::connect(form.Timer1, &QTimer::timeout, &form, [&] {
        if (form.HeldButton != 0)
            ++sent;
    });

    std::printf("soak: right arrow held at %d ms for %.0f s over a pseudo-terminal\n", period,
                seconds);
    std::printf("%8s %10s %10s %6s %8s %10s %10s\n", "time s", "sent", "received", "torn", "gap",
                "RSS KiB", "CPU s");
    const long rssAtStart = currentRssKiB();
    const double cpuAtStart = threadCpuSeconds();
    const auto pressed = Clock::now();
    long rssHighest = rssAtStart;
    auto report = [&] {
        const auto counts = counter.counts();
        const long rss = currentRssKiB();
        rssHighest = std::max(rssHighest, rss);
        std::printf("%8.1f %10ld %10ld %6ld %8ld %10ld %10.3f\n",
                    millisecondsBetween(pressed, Clock::now()) / 1000, sent, counts.whole,
                    counts.torn, sent - counts.whole, rss, threadCpuSeconds() - cpuAtStart);
        std::fflush(stdout);
    };

    auto *held = form.control(QStringLiteral("Command8"));
    QTest::mousePress(held, Qt::LeftButton);
    if (form.HeldButton != 0)
        sent = 1;
    for (int row = 0; row < 10; ++row) {
        runFor(seconds / 10);
        report();
    }
    const bool stillHeld = form.HeldButton != 0;
    QTest::mouseRelease(held, Qt::LeftButton);
    const double heldFor = millisecondsBetween(pressed, Clock::now()) / 1000;
    const double cpu = threadCpuSeconds() - cpuAtStart;
    runFor(0.2); // what was on its way arrives

    const auto counts = counter.counts();
    std::printf("\nheld for                     %10.3f s\n", heldFor);
    std::printf("commands sent by the panel   %10ld  (%.1f a second, %ld due)\n", sent,
                double(sent) / heldFor, 1 + long(heldFor * 1000 / period));
    std::printf("received whole at the far end %9ld\n", counts.whole);
    std::printf("torn                         %10ld  (+%zu bytes left over)\n", counts.torn,
                counts.waiting);
    std::printf("sent - received              %10ld\n", sent - counts.whole);
    // The kernel's high-water mark trails the resident set by a few pages: the peak is the
    // higher of it and every sample.
    const long rssAtEnd = currentRssKiB();
    const long rssPeak = std::max({peakRssKiB(), rssHighest, rssAtEnd});
    std::printf("RSS at start / end / peak    %10ld / %ld / %ld KiB\n", rssAtStart, rssAtEnd,
                rssPeak);
    std::printf("window thread CPU            %10.3f s  (%.1f %% of the hold)\n", cpu,
                100 * cpu / heldFor);
    std::printf("hold still on at the release %10s\n", stillHeld ? "yes" : "no");
    std::printf("failures reported            %10lld\n",
                static_cast<long long>(panel->failures.size()));
    for (const QString &failure : panel->failures)
        std::printf("  %s\n", qPrintable(failure));
    return 0;
}
