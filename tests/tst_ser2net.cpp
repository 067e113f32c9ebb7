// The panel through a real ser2net serving a pseudo-terminal whose master the test holds:
// what RFC 2217 and raw TCP put on the far line, and a converter that serves someone else.

#include "support/panelfixture.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace qv7;
using namespace Qt::StringLiterals;

namespace {

// ser2net in the foreground with a configuration of its own, on a free loopback port, serving
// RFC 2217 or raw TCP from a pseudo-terminal whose master the test holds.
class Ser2net {
public:
    explicit Ser2net(const QString &scheme)
        : scheme_(scheme)
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost);
        port_ = probe.serverPort();
        probe.close();
        // The line starts at 9600, so that the panel's 19200 at open shows.
        QFile config(directory_.filePath(u"ser2net.yaml"_s));
        if (!config.open(QIODevice::WriteOnly))
            return;
        const QString accepter = scheme == "tcp"_L1 ? scheme : u"telnet(rfc2217)"_s;
        config.write(u"connection: &panel\n"
                     "  accepter: %1,127.0.0.1,%2\n"
                     "  connector: serialdev,%3,9600n81,local\n"_s
                         .arg(accepter, QString::number(port_), line.slavePath())
                         .toUtf8());
        config.close();
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(executable(), {u"-n"_s, u"-c"_s, config.fileName(), u"-P"_s,
                                      directory_.filePath(u"ser2net.pid"_s)});
    }
    ~Ser2net()
    {
        process_.terminate();
        process_.waitForFinished(5000);
    }

    static QString executable()
    {
        return QStandardPaths::findExecutable(
            u"ser2net"_s, {u"/usr/sbin"_s, u"/usr/local/sbin"_s, u"/usr/bin"_s});
    }

    // Whether it listens, read from the kernel's socket table rather than by connecting: a
    // probe connection would hold the line while ser2net closes it, and turn the panel away.
    bool listening() const
    {
        const QString entry =
            u"0100007F:%1 00000000:0000 0A"_s.arg(port_, 4, 16, QChar(u'0')).toUpper();
        return QTest::qWaitFor(
            [&entry] {
                QFile table(u"/proc/net/tcp"_s);
                return table.open(QIODevice::ReadOnly) &&
                       table.readAll().contains(entry.toLatin1());
            },
            10000);
    }
    QString url() const { return u"%1://127.0.0.1:%2"_s.arg(scheme_).arg(port_); }

    test::PtyPair line;

private:
    QString scheme_;
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
    const bool rfc2217 = scheme == "rfc2217"_L1;
    Ser2net server(scheme);
    test::PtyPair &line = server.line;
    QVERIFY(server.listening());
    const auto panel = test::startPanel(server.url());
    Form1 &form = *panel->form;
    QVERIFY2(form.line().isOpen(), qPrintable(panel->failures.join(u'\n')));
    test::click(form, "Command17");
    QCOMPARE(line.read(4), QByteArray("C00\r"));
    line.write("\x06\r");
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), u" ACK CR "_s);
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
    // ser2net serves one client: a second panel is turned away while this one holds the line.
    // ser2net says so in words and closes; over RFC 2217 the close can be seen before the
    // words are read, and then the report asks rather than tells. Either names the cause.
    const auto second = test::startPanel(server.url());
    QTRY_COMPARE(second->failures.size(), 1);
    const QString failure = second->failures.front();
    QVERIFY2(failure.startsWith(u"COM1 (%1): "_s.arg(server.url())) &&
                 failure.contains("in use by another client"_L1),
             qPrintable(failure));
}

QTEST_MAIN(TstSer2net)
#include "tst_ser2net.moc"
