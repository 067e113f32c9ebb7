// The real repetition of a held button, seen from the far end of the line: commands a
// second, the mean period and its ratio to the requested one, the deviation of single periods,
// and the time from the press to the first byte. The line is a pseudo-terminal, or with
// --port tcp://127.0.0.1:0 or rfc2217://127.0.0.1:0 a network port that a simulated
// projector serves on loopback (port 0 takes a free one).

#include "benchsupport.h"
#include "linewatcher.h"

#include "protocol/networkport.h"
#include "sim/server.h"
#include "support/panelfixture.h"

#include <QApplication>
#include <QTest>
#include <QThread>

#include <cmath>
#include <mutex>

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

// The far end of a network port: a simulated projector in a thread of its own, so that the
// panel's event loop does not time its arrivals. Each command is timed as the projector takes
// it; one it cannot read (garbled, or cut short) counts as torn.
class ProjectorWatcher {
public:
    explicit ProjectorWatcher(const QString &url)
    {
        anchor_.moveToThread(&thread_);
        thread_.start();
        QMetaObject::invokeMethod(
            &anchor_,
            [this, url] {
                server_ = std::make_unique<sim::SimulatorServer>();
                if (!server_->listen(url))
                    return;
                QObject::connect(server_.get(), &sim::SimulatorServer::trafficLogged, server_.get(),
                                 [this](const QString &line) { take(line); });
            },
            Qt::BlockingQueuedConnection);
    }
    ~ProjectorWatcher()
    {
        QMetaObject::invokeMethod(
            &anchor_, [this] { server_.reset(); }, Qt::BlockingQueuedConnection);
        thread_.quit();
        thread_.wait();
    }
    ProjectorWatcher(const ProjectorWatcher &) = delete;
    ProjectorWatcher &operator=(const ProjectorWatcher &) = delete;

    bool listening() const { return server_->isOpen(); }
    QString errorString() const { return server_->errorString(); }
    QString portName() const { return server_->portName(); }

    void reset()
    {
        const std::lock_guard lock(mutex_);
        arrivals_.clear();
        torn_ = 0;
    }
    std::vector<Steady::time_point> arrivals() const
    {
        const std::lock_guard lock(mutex_);
        return arrivals_;
    }
    long torn() const
    {
        const std::lock_guard lock(mutex_);
        return torn_;
    }
    std::optional<Steady::time_point> firstByte() const
    {
        const std::lock_guard lock(mutex_);
        if (arrivals_.empty())
            return std::nullopt;
        return arrivals_.front();
    }

private:
    void take(const QString &line)
    {
        const auto now = Steady::now();
        if (!line.contains(QLatin1String(" in ")))
            return;
        const std::lock_guard lock(mutex_);
        if (line.contains(QLatin1String("  (")))
            ++torn_;
        else
            arrivals_.push_back(now);
    }

    QThread thread_;
    QObject anchor_;
    std::unique_ptr<sim::SimulatorServer> server_;
    mutable std::mutex mutex_;
    std::vector<Steady::time_point> arrivals_;
    long torn_ = 0;
};

template <typename Watcher>
void measure(const QString &device, const QString &what, Watcher &watcher, double seconds)
{
    const auto panel = test::startPanel(device);
    Form1 &form = *panel->form;
    for (const QString &failure : panel->failures)
        std::printf("failure: %s\n", qPrintable(failure));

    const Route routes[] = {
        {5, {}, {"Command48"}, "Command8", "right arrow after a D.Zoom release"},
        {30, {"Command43"}, {}, "Command8", "right arrow after CURSOL"},
        {50, {}, {}, "Command15", "Zoom +"},
        {100, {"Command11"}, {}, "Command8", "right arrow after FOCUS"},
        {200, {"Command23"}, {}, "Command8", "right arrow after MENU ON"},
        {250, {}, {}, "Command1", "VOL +"},
        {500, {}, {}, "Command6", "SELECT"},
    };

    std::printf("hold repetition over %s, %.0f s a period\n", qPrintable(what), seconds);
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
        const auto pressed = Steady::now();
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
}

} // namespace

int main(int argc, char *argv[])
{
    useOffscreenUnlessSet();
    // The network ports' module is in the build tree, not beside the benchmark.
    qputenv("QV7RSC_MODULE_DIR", QV7RSC_MODULE_DIR);
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const double seconds = option(arguments, QStringLiteral("seconds"), 3);
    const qsizetype portAt = arguments.indexOf(QStringLiteral("--port"));
    const QString port =
        portAt >= 0 && portAt + 1 < arguments.size() ? arguments[portAt + 1] : QString();

    if (port.isEmpty()) {
        test::PtyPair line;
        LineWatcher watcher(line.masterFd());
        measure(line.slavePath(), QStringLiteral("a pseudo-terminal"), watcher, seconds);
        return 0;
    }
    const NetworkPortName name = parseNetworkPort(port.toStdString(), true);
    if (!name.port || (name.port->host != "127.0.0.1" && name.port->host != "::1")) {
        std::fprintf(stderr, "bench_hold: --port takes tcp:// or rfc2217:// on 127.0.0.1 or "
                             "[::1], such as tcp://127.0.0.1:0\n");
        return 64;
    }
    ProjectorWatcher watcher(port);
    if (!watcher.listening()) {
        std::fprintf(stderr, "bench_hold: %s\n", qPrintable(watcher.errorString()));
        return 69;
    }
    measure(watcher.portName(), watcher.portName(), watcher, seconds);
    return 0;
}
