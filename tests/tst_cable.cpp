// A pulled cable to a serial device server: its packets vanish without a reset, so only TCP
// keepalive and the time-out on unacknowledged data find it. Pulled with nftables, as root.

#include "engine/line.h"
#include "sim/server.h"
#include "support/ptypair.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <unistd.h>

using namespace qv7;
using namespace Qt::StringLiterals;

namespace {

// Drops the port's packets both ways on loopback while it lives. The table is an owner table
// of the nft -i that made it, which the kernel deletes when that nft exits at the end of its
// input: it goes with this process, however that ends.
struct PulledCable {
    explicit PulledCable(const QString &url)
    {
        nft.setProcessChannelMode(QProcess::MergedChannels);
        nft.start(u"nft"_s, {u"-i"_s});
        nft.write(u"add table inet qv7test_%1 { flags owner; chain input { type filter hook input "
                  "priority -10; iif lo tcp sport %2 drop; iif lo tcp dport %2 drop; }; chain "
                  "output { type filter hook output priority -10; oif lo tcp sport %2 drop; oif "
                  "lo tcp dport %2 drop; }; }\nlist table inet qv7test_%1\n"_s.arg(::getpid())
                      .arg(url.section(u':', -1))
                      .toUtf8());
        // Silent when the table is in place: only its listing says "policy".
        while (!pulled() && !said.contains("Error") && nft.waitForReadyRead(10000))
            said += nft.readAll();
    }
    ~PulledCable()
    {
        nft.closeWriteChannel();
        nft.waitForFinished();
    }
    bool pulled() const { return said.contains("policy"); }

    QProcess nft;
    QByteArray said;
};

} // namespace

class TstCable : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (::geteuid() != 0)
            QSKIP("a pulled cable is an nftables rule, which takes root");
        if (const PulledCable trial(u"0"_s); !trial.pulled())
            QSKIP("no nftables: " +
                  (trial.said.isEmpty() ? trial.nft.errorString().toUtf8() : trial.said.trimmed()));
        QVERIFY(far_.listen(u"tcp://127.0.0.1:0"_s));
    }

    void engineReportsOnce()
    {
        Line projector(Line::Discipline::Requests);
        QSignalSpy failures(&projector, &Line::failed);
        QSignalSpy opened(&projector, &Line::opened);
        Target target;
        target.device = far_.portName();
        QVERIFY(projector.open(target));
        QVERIFY(opened.wait());
        // Holds back to back from now on: one is in flight when the cable is found pulled.
        for (int i = 0; i < 3; ++i)
            projector.request(parseCommands({"volume", "up", "100"}).commands.front());
        const PulledCable cable(far_.portName());
        QVERIFY2(cable.pulled(), cable.said);
        const double cpu = test::processCpuSeconds();
        QTRY_COMPARE_WITH_TIMEOUT(failures.size(), 1, 60000);
        QVERIFY(test::processCpuSeconds() - cpu < 2); // not spinning on the dead socket
        const auto failure = failures.first().first().value<Failure>();
        QCOMPARE(failure.kind, FailureKind::Lost);
        QVERIFY(failure.description.startsWith(target.device));
        QTest::qWait(1000);
        QCOMPARE(failures.size(), 1);
    }

    void bridgeLinkDownAndUp()
    {
        QTcpServer metrics;
        QVERIFY(metrics.listen(QHostAddress::LocalHost));
        const quint16 port = metrics.serverPort();
        metrics.close();
        QProcess bridge;
        bridge.setProcessChannelMode(QProcess::ForwardedChannels);
        bridge.start(QStringLiteral(QV7BRIDGE),
                     {u"--inventory"_s, u"/dev/stdin"_s, u"--metrics"_s, QString::number(port)});
        bridge.write(u"[hall]\nport = %1\npower-poll = 1\n"_s.arg(far_.portName()).toUtf8());
        bridge.closeWriteChannel();
        const auto link = [port](const QByteArray &state) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                         "\r\n\r\n");
            socket.waitForDisconnected(2000);
            return socket.readAll().contains("qv7_link{projector=\"hall\",state=\"" + state +
                                             "\"} 1");
        };
        QTRY_VERIFY_WITH_TIMEOUT(link("up"), 10000);
        std::optional<PulledCable> cable(std::in_place, far_.portName());
        QVERIFY2(cable->pulled(), cable->said);
        QTRY_VERIFY_WITH_TIMEOUT(link("down"), 60000);
        cable.reset();
        // At the bridge's next try, once the simulator has let the dead client go.
        QTRY_VERIFY_WITH_TIMEOUT(link("up"), 60000);
        bridge.terminate();
        QVERIFY(bridge.waitForFinished());
    }

    void ctlExitsNamingThePort()
    {
        QSignalSpy traffic(&far_, &sim::SimulatorServer::trafficLogged);
        QProcess ctl;
        // A command that runs until the cable is found pulled: waiting for a power state.
        ctl.start(QStringLiteral(QV7CTL),
                  u"--port %1 status --wait on --timeout 120"_s.arg(far_.portName()).split(u' '));
        QTRY_VERIFY_WITH_TIMEOUT(traffic.size() >= 5, 30000);
        const PulledCable cable(far_.portName());
        QVERIFY2(cable.pulled(), cable.said);
        QTRY_COMPARE_WITH_TIMEOUT(ctl.state(), QProcess::NotRunning, 120000);
        const QString error = QString::fromLocal8Bit(ctl.readAllStandardError());
        QCOMPARE(ctl.exitCode(), 74);
        QVERIFY2(error.contains(far_.portName() + u": the connection was lost"_s),
                 qPrintable(error));
    }

private:
    sim::SimulatorServer far_;
};

QTEST_GUILESS_MAIN(TstCable)
#include "tst_cable.moc"
