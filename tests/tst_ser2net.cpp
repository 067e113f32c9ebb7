// The panel through a real ser2net serving a pseudo-terminal whose master the test holds:
// what RFC 2217 and raw TCP put on the far line, and a converter that serves someone else.

#include "support/panelfixture.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace qv7;

namespace {

// ser2net in the foreground with a configuration of its own, on a free loopback port, serving
// RFC 2217 or raw TCP.
class Ser2net {
public:
    Ser2net(const QString &scheme, const QString &device)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        probe.close();
        // The line starts at 9600, so that the panel's 19200 at open shows.
        QFile config(directory_.filePath(QStringLiteral("ser2net.yaml")));
        if (!config.open(QIODevice::WriteOnly))
            return;
        config.write(
            QStringLiteral("connection: &panel\n"
                           "  accepter: %1,127.0.0.1,%2\n"
                           "  connector: serialdev,%3,9600n81,local\n")
                .arg(scheme == QLatin1String("tcp") ? scheme : QStringLiteral("telnet(rfc2217)"))
                .arg(port_)
                .arg(device)
                .toUtf8());
        config.close();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(executable(),
                       {QStringLiteral("-n"), QStringLiteral("-c"), config.fileName(),
                        QStringLiteral("-P"), directory_.filePath(QStringLiteral("ser2net.pid"))});
    }
    ~Ser2net()
    {
        process_.terminate();
        process_.waitForFinished(5000);
    }

    static QString executable()
    {
        return QStandardPaths::findExecutable(QStringLiteral("ser2net"),
                                              {QStringLiteral("/usr/sbin"),
                                               QStringLiteral("/usr/local/sbin"),
                                               QStringLiteral("/usr/bin")});
    }

    // Whether it listens, read from the kernel's socket table rather than by connecting: a
    // probe connection would hold the line while ser2net closes it, and turn the panel away.
    bool listening() const
    {
        const QByteArray entry = QStringLiteral("0100007F:%1 00000000:0000 0A")
                                     .arg(port_, 4, 16, QLatin1Char('0'))
                                     .toUpper()
                                     .toLatin1();
        return QTest::qWaitFor(
            [&entry] {
                QFile table(QStringLiteral("/proc/net/tcp"));
                return table.open(QIODevice::ReadOnly) && table.readAll().contains(entry);
            },
            10000);
    }
    QString url(const QString &scheme) const
    {
        return QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(port_);
    }
    quint16 port() const { return port_; }

private:
    QTemporaryDir directory_;
    QProcess process_;
    quint16 port_ = 0;
};

} // namespace

class TstSer2net : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void lineThroughSer2net_data();
    void lineThroughSer2net();
    void secondClientInUse_data();
    void secondClientInUse();
};

void TstSer2net::initTestCase()
{
    if (Ser2net::executable().isEmpty())
        QFAIL("ser2net is not installed: run scripts/deps.sh");
}

void TstSer2net::lineThroughSer2net_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("tcp") << "tcp";
    QTest::newRow("rfc2217") << "rfc2217";
}

void TstSer2net::lineThroughSer2net()
{
    QFETCH(QString, scheme);
    const bool rfc2217 = scheme == QLatin1String("rfc2217");
    test::PtyPair line;
    Ser2net server(scheme, line.slavePath());
    QVERIFY(server.listening());
    const auto panel = test::startPanel(server.url(scheme));
    Form1 &form = *panel->form;
    QVERIFY2(form.engine().MSComm1().PortOpen(), qPrintable(panel->failures.join(u'\n')));
    test::click(form, "Command17");
    QCOMPARE(line.read(4), QByteArray("C00\r"));
    line.write("\x06\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    // Over RFC 2217 the speed set at open, and each speed chosen after it, reach the far line.
    const std::pair<const char *, speed_t> speeds[] = {
        {nullptr, B19200}, {"Option4", B9600}, {"Option3", B19200}};
    for (const auto &[option, speed] : speeds) {
        if (!rfc2217)
            break;
        if (option) {
            test::click(form, "Command33");
            test::click(form, option);
        }
        QTRY_COMPARE(line.speed(), speed);
        QCOMPARE(line.attributes().c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    }
    // Each command of a 5 ms hold arrives whole.
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

void TstSer2net::secondClientInUse_data()
{
    lineThroughSer2net_data();
}

void TstSer2net::secondClientInUse()
{
    QFETCH(QString, scheme);
    test::PtyPair line;
    Ser2net server(scheme, line.slavePath());
    QVERIFY(server.listening());
    QTcpSocket first;
    first.connectToHost(QHostAddress::LocalHost, server.port());
    QVERIFY(first.waitForConnected(5000));
    QTest::qWait(200);
    const auto panel = test::startPanel(server.url(scheme));
    QTRY_COMPARE(panel->failures.size(), 1);
    QCOMPARE(panel->failures.first(),
             QStringLiteral("COM1 (%1): in use by another client; close the other program or "
                            "session and try again")
                 .arg(server.url(scheme)));
}

QTEST_MAIN(TstSer2net)
#include "tst_ser2net.moc"
