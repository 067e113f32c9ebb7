// qv7-bridge with a venue's fleet of simulated projectors (--projectors, 64 by default) on one
// mosquitto and as that many PJLink devices, polled as the defaults say, with a PJLink client per
// projector asking POWR ? every second as a control system does: the daemon's CPU and memory
// under that load, and how long a command published on the broker, or sent by another PJLink
// client, or tapped on a web page, takes to reach the projector's line, and how long a change
// the projector reports takes to leave as a PJLink notification over UDP (each projector on an
// address of its own, 127.0.0.10 and up, notifying a controller on 127.0.0.2). The web pages
// (--pages, 32 by default, spread over the projectors) are open for the whole run; with
// --hidden they say at once that they are in the background, as in a phone's other tabs.
//
// With --network the projectors sit behind serial device servers on loopback (tcp://), and
// --dead N of those converters never answer a connection (dropped, not refused: an nftables
// rule, which takes root); the figures are then of the others alone.

#include "benchsupport.h"
#include "broker.h"
#include "sim/server.h"

#include <QCoreApplication>
#include <QFile>
#include <QNetworkDatagram>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QWebSocket>

#include <algorithm>
#include <memory>
#include <unistd.h>

using namespace qv7::bench;
using qv7::sim::SimulatorServer;

namespace {

// utime + stime of a process, in seconds, and its resident memory in KiB.
double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = stat.readAll().split(')').last().split(' ');
    // After the command's closing parenthesis: state is field 1, utime 12 and stime 13.
    return (fields.value(12).toDouble() + fields.value(13).toDouble()) /
           double(sysconf(_SC_CLK_TCK));
}

long processRssKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return 0;
}

// Converters that never answer: every packet to or from their ports is dropped, for as long as
// this lives (the table is owned by the nft process and goes with it).
struct DeadConverters {
    explicit DeadConverters(const std::vector<quint16> &ports)
    {
        QStringList set;
        for (const quint16 port : ports)
            set.append(QString::number(port));
        const QString list = set.join(QStringLiteral(", "));
        nft.setProcessChannelMode(QProcess::MergedChannels);
        nft.start(QStringLiteral("nft"), {QStringLiteral("-i")});
        nft.write(QStringLiteral("add table inet qv7bench_%1 { flags owner; chain input { type "
                                 "filter hook input priority -10; iif lo tcp dport { %2 } drop; "
                                 "}; }\nlist table inet qv7bench_%1\n")
                      .arg(::getpid())
                      .arg(list)
                      .toUtf8());
        QByteArray said;
        while (!said.contains("policy") && !said.contains("Error") && nft.waitForReadyRead(10000))
            said += nft.readAll();
        if (!said.contains("policy"))
            qFatal("--dead needs nftables and root: %s", said.constData());
    }
    ~DeadConverters()
    {
        nft.closeWriteChannel();
        nft.waitForFinished();
    }
    QProcess nft;
};

bool waitUntil(const std::function<bool()> &done, double seconds)
{
    const auto deadline = Steady::now() + std::chrono::duration<double>(seconds);
    while (!done() && Steady::now() < deadline)
        runFor(0.01);
    return done();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const double idleSeconds = option(arguments, QStringLiteral("seconds"), 20);
    const int commands = int(option(arguments, QStringLiteral("commands"), 200));
    const int projectorCount = int(option(arguments, QStringLiteral("projectors"), 64));
    const int pageCount = int(option(arguments, QStringLiteral("pages"), 32));
    const bool hidden = arguments.contains(QStringLiteral("--hidden"));
    const bool network = arguments.contains(QStringLiteral("--network"));
    const int deadCount = network ? int(option(arguments, QStringLiteral("dead"), 0)) : 0;
    // The projectors that answer are the first ones; the dead converters come last.
    const int liveCount = projectorCount - deadCount;
    if (liveCount < 1)
        qFatal("--dead must leave at least one projector that answers");
    const quint16 webPort = qv7::test::freePort();
    const quint16 udpPort = qv7::test::freePort();
    const auto address = [](int i) { return QStringLiteral("127.0.0.%1").arg(10 + i); };

    qv7::test::Broker broker;
    // A subscriber to everything at QoS 1, as a venue's dashboards are: the start must not
    // overrun it. The messages of each tenth of a second, from the bridge's start.
    qv7::test::Watcher watcher(broker);
    std::vector<int> perTenth;
    Steady::time_point started;
    QObject::connect(&watcher, &qv7::test::Watcher::message, &app, [&] {
        if (started == Steady::time_point())
            return;
        const auto tenth = std::size_t((Steady::now() - started) / std::chrono::milliseconds(100));
        if (perTenth.size() <= tenth)
            perTenth.resize(tenth + 1);
        ++perTenth[tenth];
    });
    QTemporaryDir dir;
    std::vector<std::unique_ptr<SimulatorServer>> projectors;
    // When each projector last took the query this measures: orientation from the broker,
    // input from PJLink.
    std::vector<Steady::time_point> arrived(projectorCount);
    // When each projector last sent a reply.
    std::vector<Steady::time_point> replied(projectorCount);
    std::vector<quint16> pjlinkPorts;
    QString inventory;
    std::vector<quint16> deadPorts;
    for (int i = 0; i < projectorCount; ++i) {
        QString port;
        if (i >= liveCount) {
            deadPorts.push_back(qv7::test::freePort());
            port = QStringLiteral("tcp://127.0.0.1:%1").arg(deadPorts.back());
        } else {
            auto &server = projectors.emplace_back(std::make_unique<SimulatorServer>());
            port = dir.filePath(QStringLiteral("p%1").arg(i));
            if (network ? !server->listen(QStringLiteral("tcp://127.0.0.1:0"))
                        : !server->openPseudoTerminal(port))
                qFatal("no simulator: %s", qPrintable(server->errorString()));
            if (network)
                port = server->portName();
            QObject::connect(server.get(), &SimulatorServer::trafficLogged, &app,
                             [&arrived, &replied, i](const QString &line) {
                                 if (line.contains(QLatin1StringView(" in  C R 4")) ||
                                     line.contains(QLatin1StringView(" in  C R 1")))
                                     arrived[i] = Steady::now();
                                 if (line.contains(QLatin1StringView(" out ")))
                                     replied[i] = Steady::now();
                             });
        }
        pjlinkPorts.push_back(qv7::test::freePort());
        inventory += QStringLiteral("[p%1]\nport = %2\npjlink = %3:%4\npjlink-notify = "
                                    "127.0.0.2\n")
                         .arg(i)
                         .arg(port, address(i))
                         .arg(pjlinkPorts.back());
    }
    std::unique_ptr<DeadConverters> dead;
    if (!deadPorts.empty())
        dead = std::make_unique<DeadConverters>(deadPorts);
    QFile file(dir.filePath(QStringLiteral("projectors.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(inventory.toUtf8()) < 0)
        qFatal("cannot write the inventory");
    file.close();

    // The control system's notifications: when each projector's last one came, and what it said.
    QUdpSocket controller;
    if (!controller.bind(QHostAddress(QStringLiteral("127.0.0.2")), udpPort,
                         QUdpSocket::ShareAddress))
        qFatal("cannot bind 127.0.0.2:%d", udpPort);
    std::vector<std::pair<Steady::time_point, QByteArray>> notified(projectorCount);
    QObject::connect(&controller, &QUdpSocket::readyRead, &app, [&] {
        while (controller.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = controller.receiveDatagram();
            const int i = int(datagram.senderAddress().toIPv4Address() & 0xff) - 10;
            if (i >= 0 && i < projectorCount)
                notified[std::size_t(i)] = {Steady::now(), datagram.data()};
        }
    });

    QProcess bridge;
    bridge.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    bridge.start(QStringLiteral(QV7BRIDGE),
                 {QStringLiteral("--inventory"), file.fileName(), QStringLiteral("--broker"),
                  broker.url(), QStringLiteral("--web"), QString::number(webPort),
                  QStringLiteral("--pjlink-udp"), QString::number(udpPort)});
    started = Steady::now();
    const bool up = waitUntil(
        [&] {
            for (int i = 0; i < liveCount; ++i) {
                if (watcher.last(QStringLiteral("qv7/p%1/orientation").arg(i)).isEmpty())
                    return false;
            }
            return true;
        },
        60);
    if (!up)
        qFatal("the bridge did not bring its projectors up (or the start overran a subscriber "
               "to everything)");
    const double startSeconds = std::chrono::duration<double>(Steady::now() - started).count();
    int startMessages = 0;
    int busiestTenth = 0;
    for (const int count : perTenth) {
        startMessages += count;
        busiestTenth = std::max(busiestTenth, count);
    }

    const auto answered = [](QTcpSocket &client) {
        return waitUntil([&] { return client.canReadLine() || client.bytesAvailable() > 0; }, 5) &&
               client.readAll().endsWith('\r');
    };
    const auto connectAll = [&](std::vector<std::unique_ptr<QTcpSocket>> &clients) {
        for (std::size_t i = 0; i < pjlinkPorts.size(); ++i) {
            const quint16 port = pjlinkPorts[i];
            auto &client = clients.emplace_back(std::make_unique<QTcpSocket>());
            client->connectToHost(QHostAddress(address(int(i))), port);
            if (!answered(*client))
                qFatal("no PJLink greeting on port %d", port);
        }
    };
    // The control system's clients: each asks for the power every second, for the rest of the
    // run; their answers are read and dropped.
    std::vector<std::unique_ptr<QTcpSocket>> pollers;
    connectAll(pollers);
    QTimer powerQueries;
    QObject::connect(&powerQueries, &QTimer::timeout, &app, [&pollers] {
        for (const auto &poller : pollers) {
            poller->readAll();
            poller->write("%1POWR ?\r");
        }
    });
    powerQueries.start(1000);

    // The pages, each on projector number page % projectors, as a phone in the room keeps one.
    const QString origin = QStringLiteral("http://127.0.0.1:%1").arg(webPort);
    std::vector<std::unique_ptr<QWebSocket>> pages;
    for (int n = 0; n < pageCount; ++n) {
        auto &page = pages.emplace_back(std::make_unique<QWebSocket>(origin));
        QObject::connect(page.get(), &QWebSocket::textMessageReceived, &app, [] {});
        page->open(QUrl(QStringLiteral("ws://127.0.0.1:%1/projector/p%2/socket")
                            .arg(webPort)
                            .arg(n % liveCount)));
        if (!waitUntil([&] { return page->state() == QAbstractSocket::ConnectedState; }, 5))
            qFatal("web page %d did not connect: %s", n, qPrintable(page->errorString()));
        if (hidden)
            page->sendTextMessage(QStringLiteral(R"({"visible": false})"));
    }

    const double cpuBefore = processCpuSeconds(bridge.processId());
    runFor(idleSeconds);
    const double idleCpu = (processCpuSeconds(bridge.processId()) - cpuBefore) / idleSeconds;
    const long rss = processRssKiB(bridge.processId());

    std::vector<double> latencies;
    for (int n = 0; n < commands; ++n) {
        const int i = n % liveCount;
        arrived[i] = {};
        const auto sent = Steady::now();
        watcher.publish(QStringLiteral("qv7/p%1/command").arg(i), "orientation");
        if (!waitUntil([&] { return arrived[i] != Steady::time_point{}; }, 5))
            qFatal("a command did not reach projector %d", i);
        latencies.push_back(millisecondsBetween(sent, arrived[i]));
        runFor(0.02); // the reply, before the next one
    }
    const Summary latency = summarize(latencies);

    // One PJLink client per projector, as a control system keeps it.
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    connectAll(clients);
    latencies.clear();
    for (int n = 0; n < commands; ++n) {
        const int i = n % liveCount;
        arrived[i] = {};
        const auto sent = Steady::now();
        clients[i]->write("%1INPT ?\r");
        if (!waitUntil([&] { return arrived[i] != Steady::time_point{}; }, 5))
            qFatal("a PJLink request did not reach projector %d", i);
        latencies.push_back(millisecondsBetween(sent, arrived[i]));
        if (!answered(*clients[i]))
            qFatal("no PJLink answer from projector %d", i);
    }
    const Summary pjlinkLatency = summarize(latencies);

    // A tap on a page's "MODE" button.
    latencies.clear();
    for (int n = 0; n < commands && pageCount > 0; ++n) {
        const int page = n % pageCount;
        const int i = page % liveCount;
        arrived[i] = {};
        const auto sent = Steady::now();
        pages[std::size_t(page)]->sendTextMessage(QStringLiteral(R"({"click": "Command45"})"));
        if (!waitUntil([&] { return arrived[i] != Steady::time_point{}; }, 5))
            qFatal("a tap did not reach projector %d", i);
        latencies.push_back(millisecondsBetween(sent, arrived[i]));
        runFor(0.02);
    }
    const Summary webLatency = summarize(latencies);

    // Switched on, then the input changed back and forth: from the projector's reply to the
    // %2INPT datagram that tells of it.
    for (int i = 0; i < liveCount; ++i)
        watcher.publish(QStringLiteral("qv7/p%1/power/set").arg(i), "ON");
    if (!waitUntil(
            [&] {
                return std::ranges::all_of(
                    notified.begin(), notified.begin() + liveCount,
                    [](const auto &last) { return last.second == "%2POWR=1\r"; });
            },
            60))
        qFatal("the projectors were not all notified on");
    latencies.clear();
    for (int n = 0; n < commands; ++n) {
        const int i = n % liveCount;
        const QByteArray input = (n / liveCount) % 2 ? "pc1" : "pc2";
        notified[std::size_t(i)] = {};
        watcher.publish(QStringLiteral("qv7/p%1/input/set").arg(i), input);
        if (!waitUntil([&] { return notified[std::size_t(i)].second.startsWith("%2INPT="); }, 5))
            qFatal("no notification of projector %d's input", i);
        latencies.push_back(millisecondsBetween(replied[i], notified[std::size_t(i)].first));
    }
    const Summary notificationLatency = summarize(latencies);

    std::printf(
        "qv7-bridge, %d simulated projectors on MQTT (mosquitto on 127.0.0.1) and PJLink,\n"
        "each asked POWR ? every second by a PJLink client of its own; %d web pages open%s\n",
        projectorCount, pageCount, hidden ? " in the background" : "");
    if (network)
        std::printf("on tcp:// converters, %d of which never answer a connection; the figures "
                    "are the other %d's\n",
                    deadCount, liveCount);
    std::printf("CPU over %.0f s with no other command: %.3f %% of a core\n", idleSeconds,
                idleCpu * 100);
    std::printf("RSS: %.1f MiB\n", double(rss) / 1024);
    std::printf("publish to line, %zu commands: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                latency.count, latency.median, latency.p99, latency.max);
    std::printf("PJLink request to line, %zu requests: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                pjlinkLatency.count, pjlinkLatency.median, pjlinkLatency.p99, pjlinkLatency.max);
    if (pageCount > 0)
        std::printf("web page tap to line, %zu taps: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                    webLatency.count, webLatency.median, webLatency.p99, webLatency.max);
    std::printf("reply to notification, %zu input changes: median %.2f ms, p99 %.2f ms, max "
                "%.2f ms\n",
                notificationLatency.count, notificationLatency.median, notificationLatency.p99,
                notificationLatency.max);
    std::printf("start, seen by a subscriber to everything at QoS 1: every projector up after "
                "%.1f s, %d messages, at most %d in a tenth of a second\n",
                startSeconds, startMessages, busiestTenth);
    bridge.terminate();
    bridge.waitForFinished();
    return 0;
}
