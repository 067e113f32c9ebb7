// The real repetition of a held button, seen from the far end of the line: commands a
// second, the mean period and its ratio to the requested one, the deviation of single periods,
// and the time from the press to the first byte.

#include "benchsupport.h"
#include "linewatcher.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QTest>

#include <cmath>

using namespace qv7;
using namespace qv7::bench;

namespace {

// How the panel is brought to repeat at a period: buttons clicked first, then the one held.
struct Route {
    int period;
    std::vector<const char *> clicks;
    std::vector<const char *> pressAndRelease;
    const char *held;
    const char *how;
};

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    QApplication app(argc, argv);
    const double seconds = option(QApplication::arguments(), QStringLiteral("seconds"), 3);

    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    LineWatcher watcher(line.masterFd());

    const Route routes[] = {
        {5, {}, {"Command48"}, "Command8", "right arrow after a D.Zoom release"},
        {30, {"Command43"}, {}, "Command8", "right arrow after CURSOL"},
        {50, {}, {}, "Command15", "Zoom +"},
        {100, {"Command11"}, {}, "Command8", "right arrow after FOCUS"},
        {200, {"Command23"}, {}, "Command8", "right arrow after MENU ON"},
        {250, {}, {}, "Command1", "VOL +"},
        {500, {}, {}, "Command6", "SELECT"},
    };

    std::printf("hold repetition over a pseudo-terminal, %.0f s a period\n", seconds);
    std::printf("%7s %9s %10s %7s %12s %12s %11s %6s  %s\n", "period", "cmds/s", "mean ms", "ratio",
                "dev med ms", "dev p99 ms", "press ms", "torn", "held");
    for (const Route &route : routes) {
        for (const char *name : route.clicks)
            qobject_cast<QPushButton *>(form.control(QString::fromLatin1(name)))->click();
        for (const char *name : route.pressAndRelease) {
            auto *button = form.control(QString::fromLatin1(name));
            QTest::mousePress(button, Qt::LeftButton);
            QTest::mouseRelease(button, Qt::LeftButton);
        }
        runFor(0.3);
        watcher.reset();

        auto *held = form.control(QString::fromLatin1(route.held));
        const auto pressed = Clock::now();
        QTest::mousePress(held, Qt::LeftButton);
        runFor(seconds);
        QTest::mouseRelease(held, Qt::LeftButton);
        runFor(0.1);

        const auto arrivals = watcher.arrivals();
        std::vector<double> periods, deviations;
        for (std::size_t i = 1; i < arrivals.size(); ++i) {
            periods.push_back(millisecondsBetween(arrivals[i - 1], arrivals[i]));
            deviations.push_back(std::abs(periods.back() - route.period));
        }
        const Summary period = summarize(periods);
        const Summary deviation = summarize(deviations);
        const auto first = watcher.firstByte();
        std::printf("%5d ms %9.1f %10.3f %7.4f %12.3f %12.3f %11.3f %6ld  %s\n", route.period,
                    double(arrivals.size()) / seconds, period.mean, period.mean / route.period,
                    deviation.median, deviation.p99,
                    first ? millisecondsBetween(pressed, *first) : -1.0, watcher.torn(), route.how);
    }
    return 0;
}
