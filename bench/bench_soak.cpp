// A long hold at the fastest repeat, 5 ms: does every command the panel sends arrive whole at
// the far end, and do memory and the window thread's CPU time stay flat? --seconds sets the
// length of the hold (60 by default); a row of figures comes every tenth of it.

#include "benchsupport.h"
#include "linewatcher.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QTest>
#include <QTimer>

#include <algorithm>

using namespace qv7;
using namespace qv7::bench;

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    QApplication app(argc, argv);
    const double seconds = option(QApplication::arguments(), QStringLiteral("seconds"), 60);

    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    LineWatcher watcher(line.masterFd());

    // A D.Zoom release leaves the arrows repeating at 5 ms.
    auto *zoom = form.control(QStringLiteral("Command48"));
    QTest::mousePress(zoom, Qt::LeftButton);
    QTest::mouseRelease(zoom, Qt::LeftButton);
    runFor(0.3);
    watcher.reset();
    const int period = form.line().designState().Timer1.interval;

    // The repetitions the hold sent.
    long sent = 0;
    QObject::connect(&form.line(), &Line::transmitted, &form, [&](const Transmission &out) {
        if (out.holdSend > 1)
            ++sent;
    });

    std::printf("soak: right arrow held at %d ms for %.0f s over a pseudo-terminal\n", period,
                seconds);
    std::printf("%8s %10s %10s %6s %8s %10s %10s\n", "time s", "sent", "received", "torn", "gap",
                "RSS KiB", "CPU s");
    const long rssAtStart = currentRssKiB();
    const double cpuAtStart = threadCpuSeconds();
    const auto pressed = Steady::now();
    long rssHighest = rssAtStart;
    auto report = [&] {
        const long received = watcher.whole();
        const long rss = currentRssKiB();
        rssHighest = std::max(rssHighest, rss);
        std::printf("%8.1f %10ld %10ld %6ld %8ld %10ld %10.3f\n",
                    millisecondsBetween(pressed, Steady::now()) / 1000, sent, received,
                    watcher.torn(), sent - received, rss, threadCpuSeconds() - cpuAtStart);
        std::fflush(stdout);
    };

    auto *held = form.control(QStringLiteral("Command8"));
    QTest::mousePress(held, Qt::LeftButton);
    if (form.line().holding())
        sent = 1;
    for (int row = 0; row < 10; ++row) {
        runFor(seconds / 10);
        report();
    }
    const bool stillHeld = form.line().holding();
    QTest::mouseRelease(held, Qt::LeftButton);
    const double heldFor = millisecondsBetween(pressed, Steady::now()) / 1000;
    const double cpu = threadCpuSeconds() - cpuAtStart;
    runFor(0.2); // what was on its way arrives

    const long received = watcher.whole();
    std::printf("\nheld for                     %10.3f s\n", heldFor);
    std::printf("commands sent by the panel   %10ld  (%.1f a second, %ld due)\n", sent,
                double(sent) / heldFor, 1 + long(heldFor * 1000 / period));
    std::printf("received whole at the far end %9ld\n", received);
    std::printf("torn                         %10ld  (+%zu bytes left over)\n", watcher.torn(),
                watcher.waiting());
    std::printf("sent - received              %10ld\n", sent - received);
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
