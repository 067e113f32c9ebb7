// The panel through a real ser2net serving a pseudo-terminal whose master the test holds:
// what RFC 2217 and raw TCP do to the far line, and ser2net going away.

#include "support/panelfixture.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace qv7;

namespace {

// ser2net in the foreground with a configuration of its own, on a free loopback port.
class Ser2net {
public:
    Ser2net(const QString &accepter, const QString &device)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        probe.close();
        // The line starts at 9600, so that the panel's 19200 at open shows.
        QFile config(directory_.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(QStringLiteral("connection: &panel\n"
                                    "  accepter: %1,127.0.0.1,%2\n"
                                    "  connector: serialdev,%3,9600n81,local\n")
                         .arg(accepter)
                         .arg(port_)
                         .arg(device)
                         .toUtf8());
        config.close();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(executable(),
                       {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName(),
                        QStringLiteral("-P"), directory_.filePath(QStringLiteral("ser2net.pid"))});
    }
    ~Ser2net() { stop(); }

    static QString executable()
    {
        return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                              {QStringLiteral("/usr/sbin"),
                                               QStringLiteral("/usr/local/sbin"),
                                               QStringLiteral("/usr/bin")});
    }

    // Whether it listens, read from the kernel's socket table rather than by connecting: a
    // probe connection would hold the line while ser2net closes it, and turn the panel away.
    bool listening()
    {
        const QString local = QStringLiteral(":%1 ").arg(port_, 4, 16, QLatin1Char('0')).toUpper();
        return QTest::qWaitFor(
            [&local] {
                QFile table(QStringLiteral("/proc/net/tcp"));
                if (!table.open(QIODevice::ReadOnly))
                    return false;
                for (const QByteArray &row : table.readAll().split('\n')) {
                    const QList<QByteArray> fields = row.simplified().split(' ');
                    if (fields.size() > 3 && fields[1].endsWith(local.trimmed().toLatin1()) &&
                        fields[3] == "0A")
                        return true;
                }
                return false;
            },
            10000);
    }
    quint16 port() const { return port_; }
    void stop()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        process_.terminate();
        process_.waitForFinished(5000);
    }

private:
    QTemporaryDir directory_;
    QProcess process_;
    quint16 port_ = 0;
};

QString url(const char *scheme, quint16 port)
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(QLatin1String(scheme)).arg(port);
}

} // namespace

class TstSer2net : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void rfc2217SpeedReachesTheLine();
    void rawBytesArriveWhole();
    void stoppedMidHold_data();
    void stoppedMidHold();
    void secondClientInUse_data();
    void secondClientInUse();
};

void TstSer2net::initTestCase()
{
    if (Ser2net::executable().isEmpty())
        QFAIL("ser2net is not installed: run scripts/deps.sh");
}

void TstSer2net::rfc2217SpeedReachesTheLine()
{
    test::PtyPair line;
    Ser2net server(QStringLiteral("telnet(rfc2217)"), line.slavePath());
    QVERIFY(server.listening());
    const auto panel = test::startPanel(url("rfc2217", server.port()));
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    QVERIFY2(form.engine().MSComm1().PortOpen(), qPrintable(panel->failures.join(u'\n')));
    QTRY_COMPARE(line.speed(), speed_t(B19200));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(line.read(4), QByteArray("C00\r"));
    line.write("\x06\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));

    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option4"), Qt::LeftButton);
    QTRY_COMPARE(line.speed(), speed_t(B9600));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option3"), Qt::LeftButton);
    QTRY_COMPARE(line.speed(), speed_t(B19200));
    const termios attributes = line.attributes();
    QCOMPARE(attributes.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(attributes.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    QVERIFY(panel->failures.isEmpty());
}

void TstSer2net::rawBytesArriveWhole()
{
    test::PtyPair line;
    Ser2net server(QStringLiteral("tcp"), line.slavePath());
    QVERIFY(server.listening());
    const auto panel = test::startPanel(url("tcp", server.port()));
    Form1 &form = *panel->form;
    QVERIFY2(form.engine().MSComm1().PortOpen(), qPrintable(panel->failures.join(u'\n')));
    test::HoldCounter counter(form);
    test::holdAt5Milliseconds(form);
    ++counter.sent;
    const QByteArray held = line.read(1 << 30, 1000);
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    const QByteArray all = (held + line.readAll(300)).mid(4);
    QVERIFY(held.startsWith("C30\r")); // the D.Zoom press
    QCOMPARE(all, QByteArray("C3A\r").repeated(all.size() / 4));
    QCOMPARE(long(all.size() / 4), counter.sent);
    QVERIFY(panel->failures.isEmpty());
}

void TstSer2net::stoppedMidHold_data()
{
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("tcp") << "tcp"
                         << "tcp";
    QTest::newRow("rfc2217") << "telnet(rfc2217)"
                             << "rfc2217";
}

void TstSer2net::stoppedMidHold()
{
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    test::PtyPair line;
    Ser2net server(accepter, line.slavePath());
    QVERIFY(server.listening());
    const QString name = url(qPrintable(scheme), server.port());
    const auto panel = test::startPanel(name);
    Form1 &form = *panel->form;
    QVERIFY2(form.engine().MSComm1().PortOpen(), qPrintable(panel->failures.join(u'\n')));
    QSignalSpy reports(&form, &Form1::failureReported);
    test::holdAt5Milliseconds(form);
    QCOMPARE(line.read(40).size(), 40);
    server.stop();
    QVERIFY(reports.wait(5000));
    QTest::qWait(500);
    QCOMPARE(reports.count(), 1);
    QVERIFY2(reports.first().first().toString().startsWith(QStringLiteral("COM1 (%1): ").arg(name)),
             qPrintable(reports.first().first().toString()));
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
}

void TstSer2net::secondClientInUse_data()
{
    stoppedMidHold_data();
}

void TstSer2net::secondClientInUse()
{
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    test::PtyPair line;
    Ser2net server(accepter, line.slavePath());
    QVERIFY(server.listening());
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(first.waitForConnected(5000));
    QTest::qWait(200);
    const QString name = url(qPrintable(scheme), server.port());
    const auto panel = test::startPanel(name);
    QTRY_COMPARE(panel->failures.size(), 1);
    QCOMPARE(panel->failures.first(),
             QStringLiteral("COM1 (%1): in use by another client; close the other program or "
                            "session and try again")
                 .arg(name));
}

QTEST_MAIN(TstSer2net)
#include "tst_ser2net.moc"
