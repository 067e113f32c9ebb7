// What only a network port does to the panel, over loopback: a converter that closes the
// connection in a hold or when idle, goes away, never answers or sends telnet rubbish; the
// keepalive that finds a vanished one, and the wait for a connection.

#include "protocol/rendering.h"
#include "protocol/telnet.h"
#include "sim/server.h"

#include "support/panelfixture.h"

#include <QDir>
#include <QGuiApplication>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace qv7;
using namespace Qt::StringLiterals;

namespace {

QString url(const QString &scheme, quint16 port)
{
    return u"%1://127.0.0.1:%2"_s.arg(scheme).arg(port);
}

QString reply(const Form1 &form)
{
    return test::widget<QLabel>(form, "Label12")->text();
}

} // namespace

class TstNetwork : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void farEndClosesMidHold_data();
    void farEndClosesMidHold();
    void idleCloseMadeAgain_data();
    void idleCloseMadeAgain();
    void keepaliveOnTheConnection();
    void connectingShowsBusyAndTakesNoClicks();
    void rubbishFromTheNetwork_data();
    void rubbishFromTheNetwork();
};

void TstNetwork::farEndClosesMidHold_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("rfc2217") << "rfc2217";
}

void TstNetwork::farEndClosesMidHold()
{
    QFETCH(QString, scheme);
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(url(scheme, 0)));
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    const test::HoldCounter sends(form);
    test::holdAt5Milliseconds(form);
    QTRY_VERIFY(sends.sent >= 10);
    projector.dropClient();
    QTRY_COMPARE(panel->failures.size(), 1);
    const QString closed = u"COM1 (%1): the converter closed the connection"_s;
    QVERIFY2(panel->failures.first().startsWith(closed.arg(projector.portName())),
             qPrintable(panel->failures.first()));
    QVERIFY(!form.line().isOpen());
    // Closed once: a second of waiting costs next to nothing and brings no second report.
    const double cpuBefore = test::processCpuSeconds();
    QTest::qWait(1000);
    QVERIFY(test::processCpuSeconds() - cpuBefore < 0.5);
    QCOMPARE(panel->failures.size(), 1);
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
}

void TstNetwork::idleCloseMadeAgain_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("afterAReply");
    QTest::addColumn<bool>("converterGone");
    QTest::addColumn<bool>("crossing"); // the command goes out as the close comes in
    QTest::newRow("tcp, long after a reply") << "tcp" << true << false << false;
    QTest::newRow("tcp, the close crosses the command") << "tcp" << true << false << true;
    QTest::newRow("rfc2217") << "rfc2217" << false << false << false;
    QTest::newRow("rfc2217, the close crosses the command") << "rfc2217" << true << false << true;
    QTest::newRow("tcp, converter gone") << "tcp" << false << true << false;
    QTest::newRow("rfc2217, converter gone") << "rfc2217" << false << true << false;
}

void TstNetwork::idleCloseMadeAgain()
{
    QFETCH(QString, scheme);
    QFETCH(bool, afterAReply);
    QFETCH(bool, converterGone);
    QFETCH(bool, crossing);
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(url(scheme, 0)));
    const QString name = projector.portName();
    const auto panel = test::startPanel(name);
    Form1 &form = *panel->form;
    if (afterAReply) {
        // A close within 2 s of a write is awaited and reported; this one comes later.
        test::keyDown(form, Qt::Key_J, 2);
        test::click(form, "Command44");
        QTRY_COMPARE(reply(form), u" 8 0 CR "_s);
        QTest::qWait(2500);
    }
    // The converter closes the idle connection, or goes away with it.
    projector.dropClient();
    if (converterGone)
        projector.close();
    if (!crossing) {
        QTest::qWait(200);
        QVERIFY(panel->failures.isEmpty());
    }
    test::click(form, "Command17");
    if (!converterGone) {
        QTRY_COMPARE(reply(form), u" ACK CR "_s);
        QVERIFY(form.line().isOpen());
        QVERIFY(panel->failures.isEmpty());
        return;
    }
    QTRY_COMPARE(panel->failures,
                 QStringList(u"COM1 (%1): the converter closed the connection, and connecting "
                             "again failed: connection refused; is the converter on and the "
                             "port number right?"_s.arg(name)));
    QVERIFY(!form.line().isOpen());
}

void TstNetwork::keepaliveOnTheConnection()
{
    // A converter that vanishes without a word (a pulled cable) shows after 10 s of quiet and
    // three probes 5 s apart; unacknowledged data gives up after the same 25 s.
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(u"tcp://127.0.0.1:0"_s));
    const auto panel = test::startPanel(projector.portName());
    // The panel's end of the connection: the socket of this process whose peer is the port.
    int client = -1;
    for (const QString &entry : QDir(u"/proc/self/fd"_s).entryList(QDir::System)) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(entry.toInt(), reinterpret_cast<sockaddr *>(&peer), &length) == 0 &&
            peer.sin_family == AF_INET &&
            ntohs(peer.sin_port) == projector.portName().section(u':', -1).toUInt())
            client = entry.toInt();
    }
    QVERIFY(client >= 0);
    const auto option = [client](int level, int name) {
        int value = -1;
        socklen_t length = sizeof value;
        return ::getsockopt(client, level, name, &value, &length) == 0 ? value : -1;
    };
    QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), 10);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), 5);
    QCOMPARE(option(IPPROTO_TCP, TCP_KEEPCNT), 3);
    QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), 25000);
}

void TstNetwork::connectingShowsBusyAndTakesNoClicks()
{
    // A listener that accepts nothing and whose queue is full: a further connection is never
    // answered.
    QTcpServer listener;
    listener.setListenBacklogSize(0);
    QVERIFY(listener.listen(QHostAddress::LocalHost));
    listener.pauseAccepting();
    const QString hung = url(u"tcp"_s, listener.serverPort());
    QTcpSocket fillers[4];
    for (QTcpSocket &filler : fillers)
        filler.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    QTest::qWait(200);

    sim::SimulatorServer projector;
    QVERIFY(projector.listen(u"tcp://127.0.0.1:0"_s));
    const auto panel = test::startPanel(projector.portName(), hung);
    Form1 &form = *panel->form;
    form.line().setConnectTimeout(700);
    test::click(form, "Command33");
    test::click(form, "Option2");
    const QCursor *cursor = QGuiApplication::overrideCursor();
    QVERIFY(cursor && cursor->shape() == Qt::WaitCursor);
    // Back to COM1, and a command: neither may start while COM2 connects.
    test::click(form, "Option1");
    test::click(form, "Command17");
    QVERIFY(!form.line().isOpen());
    QTRY_COMPARE(panel->failures,
                 QStringList(u"COM2 (%1): no connection within 0.7 s; is the converter on and "
                             "reachable?"_s.arg(hung)));
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QVERIFY(!form.line().isOpen());
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
}

void TstNetwork::rubbishFromTheNetwork_data()
{
    farEndClosesMidHold_data();
}

void TstNetwork::rubbishFromTheNetwork()
{
    using namespace telnet;
    QFETCH(QString, scheme);
    const bool rfc2217 = scheme == "rfc2217"_L1;
    // Rounds of what the far end writes, piece by piece, and the data the engine must see of it.
    std::vector<std::pair<QByteArrayList, QByteArray>> rounds;
    if (rfc2217) {
        QByteArray commands = QByteArray("\xff\xf1").repeated(2000); // NOP
        for (int option = 0; option < 256; ++option)
            commands.append(char(kIac)).append(char(option % 2 ? kWill : kDo)).append(char(option));
        rounds.push_back({{"<", commands, ">"}, "<>"});
        // Subnegotiations and 0xFF cut across reads: the transport's parser keeps its place.
        rounds.push_back({QByteArray("A\xff|\xfa|\x2c\x6b|\x30|\xff|\xf0"
                                     "B\xff\xfa\x2c|\x6a xx\xff\xf1"
                                     "C|A\xff|\xff"
                                     "B\xff|CD\xff\xff")
                              .split('|'),
                          "ABCA\xff"
                          "BD\xff"});
    }
    // More than the 64 KiB the transport holds, of every byte value.
    QByteArray burst(1 << 20, '\0');
    QRandomGenerator generator(17);
    for (char &byte : burst)
        byte = char(generator.bounded(256));
    rounds.push_back(
        {{rfc2217 ? QByteArray::fromStdString(escape(burst.toStdString())) : burst}, burst});

    // A far end that answers nothing, not even RFC 2217 offers: the open goes on without.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    const auto panel = test::startPanel(url(scheme, server.serverPort()));
    Form1 &form = *panel->form;
    QVERIFY(form.line().isOpen());
    QTcpSocket *peer = nullptr; // the newest: starting, the panel opens COM1, then selects it
    while (server.hasPendingConnections())
        peer = server.nextPendingConnection();
    QVERIFY(peer);
    QByteArray all;
    for (const auto &[pieces, data] : rounds) {
        for (const QByteArray &piece : pieces) {
            peer->write(piece);
            peer->flush();
            QTest::qWait(20);
        }
        const QByteArray marker = "<end " + QByteArray::number(all.size()) + '>';
        peer->write(marker);
        all += data + marker;
        QTRY_VERIFY_WITH_TIMEOUT(
            QByteArray::fromStdString(form.line().designState().ReceivedText).endsWith(marker),
            20000);
        QCOMPARE(QByteArray::fromStdString(form.line().designState().ReceivedText),
                 all.right(qsizetype(kMaxRenderedChars)));
    }
    QByteArray received;
    test::click(form, "Command17");
    QTRY_VERIFY((received += peer->readAll()).endsWith("C00\r"));
    QVERIFY(panel->failures.isEmpty());
}

QTEST_MAIN(TstNetwork)
#include "tst_network.moc"
