// The panel on network ports over loopback: the simulated projector serving raw TCP and
// RFC 2217, far ends that close, refuse, never answer or send rubbish, and the connect wait.

#include "protocol/captions.h"
#include "protocol/commandtable.h"
#include "protocol/rendering.h"
#include "protocol/telnet.h"
#include "sim/server.h"

#include "support/panelfixture.h"

#include <QGuiApplication>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace qv7;

namespace {

QString url(const char *scheme, quint16 port)
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
}

// A far end written by the test: takes one connection, records what arrives, writes what
// it is told, and otherwise says nothing.
class Peer : public QObject {
public:
    Peer()
    {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            client_ = server_.nextPendingConnection();
            connect(client_, &QTcpSocket::readyRead, this,
                    [this] { received_ += client_->readAll(); });
        });
    }
    quint16 port() const { return server_.serverPort(); }
    QByteArray received() const { return received_; }
    bool connected()
    {
        return QTest::qWaitFor([this] { return client_ != nullptr; }, 5000);
    }
    void write(const QByteArray &bytes)
    {
        client_->write(bytes);
        client_->flush();
    }

private:
    QTcpServer server_;
    QTcpSocket *client_ = nullptr;
    QByteArray received_;
};

CommandButton *button(const Form1 &form, const char *name)
{
    return test::widget<CommandButton>(form, name);
}

} // namespace

class TstNetwork : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void repliesDecoded_data();
    void repliesDecoded();
    void holdArrivesWhole_data();
    void holdArrivesWhole();
    void speedMismatchAndRecovery();
    void farEndClosesMidHold_data();
    void farEndClosesMidHold();
    void idleCloseMadeAgain_data();
    void idleCloseMadeAgain();
    void openFailures_data();
    void openFailures();
    void silentPeer_data();
    void silentPeer();
    void connectingShowsBusyAndTakesNoClicks();
    void rubbishFromTheNetwork_data();
    void rubbishFromTheNetwork();

private:
    void protocols();
};

void TstNetwork::protocols()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("rfc2217") << "rfc2217";
}

void TstNetwork::repliesDecoded_data()
{
    protocols();
}

void TstNetwork::repliesDecoded()
{
    QFETCH(QString, scheme);
    sim::SimulatorServer projector;
    QVERIFY2(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")),
             qPrintable(projector.errorString()));
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    QVERIFY2(form.engine().MSComm1().PortOpen(), qPrintable(panel->failures.join(u'|')));
    QTest::mouseClick(button(form, "Command44"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label25")->text(), QStringLiteral(" Stand by"));
    QTRY_VERIFY(!test::timer(form, "Timer2")->isActive());
    QTest::mouseClick(button(form, "Command17"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    QVERIFY(panel->failures.isEmpty());
}

void TstNetwork::holdArrivesWhole_data()
{
    protocols();
}

void TstNetwork::holdArrivesWhole()
{
    QFETCH(QString, scheme);
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")));
    QStringList commands;
    connect(&projector, &sim::SimulatorServer::trafficLogged, this,
            [&commands](const QString &line) {
                if (line.contains(QLatin1String(" in ")))
                    commands << line.mid(line.indexOf(QLatin1String(" in ")) + 4).trimmed();
            });
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    test::HoldCounter counter(form);
    test::holdAt5Milliseconds(form);
    ++counter.sent;
    QTest::qWait(1000);
    QTest::mouseRelease(button(form, "Command8"), Qt::LeftButton);
    QTRY_COMPARE(commands.size(), int(counter.sent) + 1);
    // The D.Zoom press, then the held arrow every time, each whole.
    const QString arrow = QString::fromLatin1(renderTraffic("C3A\r")).trimmed();
    QCOMPARE(commands.first(), QString::fromLatin1(renderTraffic("C30\r")).trimmed());
    QCOMPARE(commands.mid(1), QStringList(commands.size() - 1, arrow).toList());
    QVERIFY(panel->failures.isEmpty());
}

void TstNetwork::speedMismatchAndRecovery()
{
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(QStringLiteral("rfc2217://127.0.0.1:0")));
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    QTest::mouseClick(button(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option4"), Qt::LeftButton); // 9600
    QTest::mouseClick(button(form, "Command44"), Qt::LeftButton);
    QTRY_VERIFY(!test::widget<QLabel>(form, "Label12")->text().isEmpty());
    QVERIFY(test::widget<QLabel>(form, "Label12")->text() != QStringLiteral(" 8 0 CR "));
    QVERIFY(test::widget<QLabel>(form, "Label25")->text().isEmpty());
    QTRY_VERIFY(!test::timer(form, "Timer2")->isActive());
    QTest::mouseClick(button(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option3"), Qt::LeftButton); // 19200
    QTest::mouseClick(button(form, "Command44"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label25")->text(), QStringLiteral(" Stand by"));
    QVERIFY(panel->failures.isEmpty());
}

void TstNetwork::farEndClosesMidHold_data()
{
    protocols();
}

void TstNetwork::farEndClosesMidHold()
{
    QFETCH(QString, scheme);
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")));
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    QSignalSpy reports(&form, &Form1::failureReported);
    test::holdAt5Milliseconds(form);
    QTest::qWait(200);
    projector.dropClient();
    QVERIFY(reports.wait(5000));
    QVERIFY2(reports.first().first().toString().startsWith(
                 QStringLiteral("COM1 (%1): the converter closed the connection")
                     .arg(projector.portName())),
             qPrintable(reports.first().first().toString()));
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    const double cpuBefore = test::processCpuSeconds();
    QTest::qWait(1000);
    QVERIFY(test::processCpuSeconds() - cpuBefore < 0.5);
    QCOMPARE(reports.count(), 1);
    QTest::mouseRelease(button(form, "Command8"), Qt::LeftButton);

    // Choosing the port opens it again.
    QTest::mouseClick(button(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QTest::mouseClick(button(form, "Command17"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    QCOMPARE(reports.count(), 1);
}

void TstNetwork::idleCloseMadeAgain_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<bool>("converterGone");
    QTest::newRow("tcp") << "tcp" << false;
    QTest::newRow("rfc2217") << "rfc2217" << false;
    QTest::newRow("tcp, converter gone") << "tcp" << true;
    QTest::newRow("rfc2217, converter gone") << "rfc2217" << true;
}

void TstNetwork::idleCloseMadeAgain()
{
    QFETCH(QString, scheme);
    QFETCH(bool, converterGone);
    sim::SimulatorServer projector;
    QVERIFY(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")));
    const QString name = projector.portName();
    const auto panel = test::startPanel(name);
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    QTest::mouseClick(button(form, "Command44"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label25")->text(), QStringLiteral(" Stand by"));
    // Long after the reply, the converter closes the idle connection.
    QTest::qWait(2500);
    projector.dropClient();
    if (converterGone)
        projector.close();
    QTest::qWait(200);
    QVERIFY(panel->failures.isEmpty());
    QTest::mouseClick(button(form, "Command17"), Qt::LeftButton);
    if (!converterGone) {
        QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
        QVERIFY(form.engine().MSComm1().PortOpen());
        QVERIFY(panel->failures.isEmpty());
        return;
    }
    QTRY_COMPARE(panel->failures.size(), 1);
    QCOMPARE(panel->failures.first(),
             QStringLiteral("COM1 (%1): the converter closed the connection, and connecting "
                            "again failed: connection refused; is the converter on and the port "
                            "number right?")
                 .arg(name));
    QVERIFY(!form.engine().MSComm1().PortOpen());
}

void TstNetwork::openFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("expected");
    const QString refused =
        QStringLiteral("connection refused; is the converter on and the port number right?");
    const QString inUse = QStringLiteral("in use by another client");
    QTest::newRow("refused, tcp") << "refused"
                                  << "tcp" << refused;
    QTest::newRow("refused, rfc2217") << "refused"
                                      << "rfc2217" << refused;
    QTest::newRow("unknown host") << "unknown"
                                  << "tcp"
                                  << "unknown host \"qv7-no-such-converter.invalid\"";
    QTest::newRow("in use, tcp") << "in use"
                                 << "tcp" << inUse;
    QTest::newRow("in use, rfc2217") << "in use"
                                     << "rfc2217" << inUse;
    QTest::newRow("no port number") << "malformed"
                                    << "tcp"
                                    << "no port number after the host";
}

void TstNetwork::openFailures()
{
    QFETCH(QString, kind);
    QFETCH(QString, scheme);
    QFETCH(QString, expected);
    sim::SimulatorServer projector;
    QTcpSocket otherClient;
    QString name;
    if (kind == QLatin1String("refused")) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        name = url(qPrintable(scheme), closed.serverPort());
    } else if (kind == QLatin1String("unknown")) {
        name = QStringLiteral("tcp://qv7-no-such-converter.invalid:4001");
    } else if (kind == QLatin1String("in use")) {
        QVERIFY(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")));
        name = projector.portName();
        otherClient.connectToHost(QHostAddress::LocalHost,
                                  quint16(name.section(u':', -1).toUInt()));
        QVERIFY(otherClient.waitForConnected(5000));
        QTest::qWait(100);
    } else {
        name = QStringLiteral("tcp://127.0.0.1");
    }
    const auto panel = test::startPanel(name);
    QTRY_COMPARE(panel->failures.size(), 1);
    const QString said = panel->failures.first();
    QVERIFY2(said.startsWith(QStringLiteral("COM1 (%1): %2").arg(name, expected)),
             qPrintable(said));
    QVERIFY(!said.contains(u'\n'));
    QVERIFY(!panel->form->engine().MSComm1().PortOpen());
}

void TstNetwork::silentPeer_data()
{
    protocols();
}

void TstNetwork::silentPeer()
{
    QFETCH(QString, scheme);
    Peer peer;
    const auto panel = test::startPanel(url(qPrintable(scheme), peer.port()));
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    // Over RFC 2217 the open went on without the answers, after a second for each.
    QVERIFY(form.engine().MSComm1().PortOpen());
    QTest::mouseClick(button(form, "Command44"), Qt::LeftButton);
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(),
                 QString::fromUtf8(kNoReplyCaption.text));
    QVERIFY(peer.received().endsWith("CR0\r"));
    QVERIFY(panel->failures.isEmpty());
}

void TstNetwork::connectingShowsBusyAndTakesNoClicks()
{
    // A listener whose queue is full: a further connection is never answered.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const quint16 port = ntohs(address.sin_port);
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress::LocalHost, port);
    }
    QTest::qWait(200);

    sim::SimulatorServer projector;
    QVERIFY(projector.listen(QStringLiteral("tcp://127.0.0.1:0")));
    const QString hung = url("tcp", port);
    const auto panel = test::startPanel(projector.portName(), hung);
    Form1 &form = *panel->form;
    form.engine().MSComm1().setConnectTimeout(700);
    bool busyShown = false;
    bool stillClosed = false;
    QTimer::singleShot(300, &form, [&] {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        busyShown = cursor && cursor->shape() == Qt::WaitCursor;
        // Back to COM1, and a command: neither may start while COM2 connects.
        QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
        QTest::mouseClick(button(form, "Command17"), Qt::LeftButton);
        stillClosed = !form.engine().MSComm1().PortOpen();
    });
    QTest::mouseClick(button(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
    QVERIFY(busyShown);
    QVERIFY(stillClosed);
    QCOMPARE(QGuiApplication::overrideCursor(), nullptr);
    QCOMPARE(panel->failures,
             QStringList(QStringLiteral("COM2 (%1): no connection within 0.7 s; is the converter "
                                        "on and reachable?")
                             .arg(hung)));
    QVERIFY(!form.engine().MSComm1().PortOpen());
    ::close(listener);
}

void TstNetwork::rubbishFromTheNetwork_data()
{
    using namespace telnet;
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("data");
    QByteArray commands;
    for (int i = 0; i < 2000; ++i)
        commands += QByteArray("\xff\xf1"); // NOP
    for (int option = 0; option < 256; ++option)
        commands.append(char(kIac)).append(char(option % 2 ? kWill : kDo)).append(char(option));
    QTest::newRow("a stream of commands")
        << "rfc2217" << QByteArrayList{"<", commands, ">"} << QByteArray("<>");
    QTest::newRow("subnegotiations cut in pieces") << "rfc2217"
                                                   << QByteArrayList{"A\xff",
                                                                     "\xfa",
                                                                     "\x2c\x6b",
                                                                     "\x30",
                                                                     "\xff",
                                                                     "\xf0"
                                                                     "B\xff\xfa\x2c",
                                                                     "\x6a xx\xff\xf1"
                                                                     "C"}
                                                   << QByteArray("ABC");
    QTest::newRow("0xFF doubled and not") << "rfc2217"
                                          << QByteArrayList{"A\xff", "\xff"
                                                                     "B\xff"
                                                                     "CD\xff\xff"}
                                          << QByteArray("A\xff"
                                                        "BD\xff");
    QByteArray burst(1 << 20, '\0');
    QRandomGenerator generator(17);
    for (char &byte : burst)
        byte = char(generator.bounded(256));
    QTest::newRow("1 MB burst, tcp") << "tcp" << QByteArrayList{burst} << burst;
    QTest::newRow("1 MB burst, rfc2217")
        << "rfc2217" << QByteArrayList{QByteArray::fromStdString(escape(burst.toStdString()))}
        << burst;
}

void TstNetwork::rubbishFromTheNetwork()
{
    QFETCH(QString, scheme);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, data);
    Peer peer;
    const auto panel = test::startPanel(url(qPrintable(scheme), peer.port()));
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    QVERIFY(peer.connected());
    for (const QByteArray &piece : pieces) {
        peer.write(piece);
        QTest::qWait(20);
    }
    const QByteArray marker = "<end>";
    peer.write(marker);
    const QByteArray expected = (data + marker).right(qsizetype(kMaxRenderedChars));
    QTRY_VERIFY_WITH_TIMEOUT(
        QByteArray::fromStdString(form.engine().ReceivedText()).endsWith(marker), 20000);
    QCOMPARE(QByteArray::fromStdString(form.engine().ReceivedText()), expected);
    QTest::mouseClick(button(form, "Command17"), Qt::LeftButton);
    QTRY_VERIFY(peer.received().endsWith("C00\r"));
    QVERIFY(panel->failures.isEmpty());
    QVERIFY(form.engine().MSComm1().PortOpen());
}

QTEST_MAIN(TstNetwork)
#include "tst_network.moc"
