// A projector that streams unsolicited data at the full line rate: how the panel copes.
// Prints events handled, the worst delay of the event loop, the delay of clicks, CPU time of
// the window's thread and memory.

#include "benchsupport.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QTimer>

#include <atomic>
#include <thread>
#include <unistd.h>

using namespace qv7;
using namespace qv7::bench;

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const double seconds = option(arguments, QStringLiteral("seconds"), 10);
    const double rate = option(arguments, QStringLiteral("rate"), 1920); // characters a second
    // Clicks close the reply window and so empty the received text; without them the text
    // grows to its bound and stays there.
    const int clickMs = int(option(arguments, QStringLiteral("click-ms"), 250));

    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2); // the traffic lines are on screen and painted

    std::atomic<bool> running{true};
    // The projector: printable rubbish in 10 ms slices, paced to the line rate.
    std::thread projector([&] {
        const int slice = std::max(1, int(rate / 100));
        QByteArray chunk(slice, 'A');
        for (int i = 0; i < slice; ++i)
            chunk[i] = char('0' + i % 40);
        auto next = Steady::now();
        while (running) {
            next += std::chrono::milliseconds(10);
            for (qsizetype done = 0; done < chunk.size() && running;) {
                const ssize_t n =
                    ::write(line.masterFd(), chunk.constData() + done, size_t(chunk.size() - done));
                if (n > 0)
                    done += n;
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            std::this_thread::sleep_until(next);
        }
    });

    long events = 0;
    std::size_t kept = 0;
    QObject::connect(&form.line(), &Line::received, &form, [&](const Reception &reception) {
        ++events;
        kept = reception.text.size();
    });

    // The event loop's lateness, seen by a precise 5 ms ticker.
    std::vector<double> loopDelays;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    auto lastTick = Steady::now();
    QObject::connect(&ticker, &QTimer::timeout, &form, [&] {
        const auto now = Steady::now();
        loopDelays.push_back(std::max(0.0, millisecondsBetween(lastTick, now) - 5.0));
        lastTick = now;
    });
    ticker.start(5);

    // An operator clicking "ON" every clickMs: the time from the click being posted to
    // its command being on the line.
    std::vector<double> clickDelays;
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, &form, [&] {
        const auto posted = Steady::now();
        QMetaObject::invokeMethod(
            &form,
            [&, posted] {
                test::widget<CommandButton>(form, "Command17")->click();
                clickDelays.push_back(millisecondsBetween(posted, Steady::now()));
            },
            Qt::QueuedConnection);
    });
    if (clickMs > 0)
        clicker.start(clickMs);

    const long rssBefore = currentRssKiB();
    const double cpuBefore = threadCpuSeconds();
    QTimer::singleShot(int(seconds * 1000), &app, &QApplication::quit);
    QApplication::exec();
    const double cpu = threadCpuSeconds() - cpuBefore;
    running = false;
    projector.join();

    const Summary loop = summarize(loopDelays);
    const Summary clicks = summarize(clickDelays);
    std::printf("reception under a stream of %.0f characters a second for %.0f s, a click every "
                "%d ms\n",
                rate, seconds, clickMs);
    std::printf("  receive events handled     %ld (%.0f a second)\n", events, events / seconds);
    std::printf("  received text kept         %zu characters\n", kept);
    std::printf("  event-loop delay           median %.2f ms, p99 %.2f ms, worst %.2f ms\n",
                loop.median, loop.p99, loop.max);
    std::printf("  click to command on line   median %.2f ms, worst %.2f ms (%zu clicks)\n",
                clicks.median, clicks.max, clicks.count);
    std::printf("  CPU of the window thread   %.2f s (%.1f %% of one core)\n", cpu,
                100 * cpu / seconds);
    std::printf("  memory                     RSS %ld KiB before, %ld KiB after, peak %ld KiB\n",
                rssBefore, currentRssKiB(), peakRssKiB());
    return 0;
}
