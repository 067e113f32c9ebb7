// qv7-bridge's PJLink Class 2 datagrams as a controller written from the standard sees them:
// a search over UDP, the notifications of changes made through other faces (a web page, the
// broker, a line pulled and plugged back), and rubbish. Each
// projector on an address of its own on loopback, each controller on another.

#include "broker.h"

#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QWebSocket>

using namespace Qt::StringLiterals;
using namespace qv7::test;

namespace {

constexpr int kTimeout = 10000;

const QString kLeft = u"127.0.0.11"_s;
const QString kRight = u"127.0.0.12"_s;
// The address that [left] is given from its name: the same on every host and in every version,
// or the controllers that know it lose the projector.
const QByteArray kLeftMac = "f2:ea:84:31:0b:da";
const QByteArray kRightMac = "02:00:5e:00:00:12";

// A controller's UDP socket: what it received, as "ADDRESS DATAGRAM" without the CR.
class Controller : public QObject {
public:
    Controller(const QString &address, quint16 port)
    {
        // Beside the daemon's socket on the wildcard address, as a controller on its host is.
        if (!socket_.bind(QHostAddress(address), port, QUdpSocket::ShareAddress))
            qFatal("cannot bind %s:%d", qPrintable(address), port);
        connect(&socket_, &QUdpSocket::readyRead, this, [this] {
            while (socket_.hasPendingDatagrams()) {
                const QNetworkDatagram datagram = socket_.receiveDatagram();
                got << datagram.senderAddress().toString() + u' ' +
                           QString::fromLatin1(datagram.data()).remove(u'\r');
            }
        });
    }
    void send(const QByteArray &datagram, const QString &to, quint16 port)
    {
        socket_.writeDatagram(datagram, QHostAddress(to), port);
    }
    qsizetype count(const QString &line) const { return got.count(line); }
    QStringList got;

private:
    QUdpSocket socket_;
};

QByteArray ask(quint16 port, const QString &host, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(host), port);
    socket.write(request + '\r');
    QByteArray answer;
    if (!QTest::qWaitFor([&] { return (answer += socket.readAll()).count('\r') == 2; }, kTimeout))
        return "nothing: " + answer;
    return answer.split('\r').value(1);
}

} // namespace

class TstPjlink2 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void search_data();
    void search();
    void notifications();
    void badDatagrams_data();
    void badDatagrams();
    void commandLine_data();
    void commandLine();

private:
    // The daemon answers a search from a new address within the timeout.
    bool answers();
    // New lines of the daemon's log that hold the text.
    qsizetype logged(const QString &text);
    // Lines of the daemon's whole log that hold the text.
    qsizetype inLog(const QString &text);

    QTemporaryDir dir_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Watcher> watcher_;
    std::unique_ptr<Line> left_;
    std::unique_ptr<Line> right_;
    quint16 udp_ = 0;
    quint16 leftPort_ = 0;
    quint16 web_ = 0;
    std::unique_ptr<Controller> searcher_; // searches, and so is notified
    std::unique_ptr<Controller> named_;    // named in the inventory
    std::unique_ptr<BridgeProcess> bridge_;
    QString log_;
    int searchers_ = 0;
};

void TstPjlink2::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    watcher_ = std::make_unique<Watcher>(*broker_);
    left_ = std::make_unique<Line>(dir_.filePath(u"left"_s));
    right_ = std::make_unique<Line>(dir_.filePath(u"right"_s));
    udp_ = freePort();
    leftPort_ = freePort();
    web_ = freePort();
    const quint16 namedPort = freePort();
    searcher_ = std::make_unique<Controller>(u"127.0.0.2"_s, udp_);
    named_ = std::make_unique<Controller>(u"127.0.0.3"_s, namedPort);
    bridge_ = startBridge(
        dir_.path(),
        u"[left]\nport = %1\npjlink = %2:%3\ntransition-poll = 1\npjlink-notify = 127.0.0.3:%4\n"
        "[right]\nport = %5\npjlink = %6:%3\nmac = %7\npjlink-notify = 127.0.0.3:%4\n"_s
            .arg(left_->link, kLeft)
            .arg(leftPort_)
            .arg(namedPort)
            .arg(right_->link, kRight, QString::fromLatin1(kRightMac).toUpper()),
        {u"--broker"_s, broker_->url(), u"--pjlink-udp"_s, QString::number(udp_), u"--web"_s,
         QString::number(web_)});
    // Each line comes up, and the controllers named hear it first, from its own address.
    for (const auto &[from, mac] : {std::pair{kLeft, kLeftMac}, {kRight, kRightMac}}) {
        const QString up = from + u" %2LKUP="_s + QString::fromLatin1(mac);
        QTRY_VERIFY_WITH_TIMEOUT(named_->got.filter(from).value(0) == up, kTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(named_->count(from + u" %2POWR=0"_s), 1, kTimeout);
        QTRY_COMPARE_WITH_TIMEOUT(named_->count(from + u" %2INPT=11"_s), 1, kTimeout);
    }
}

void TstPjlink2::search_data()
{
    QTest::addColumn<QString>("to");   // where the search goes
    QTest::addColumn<bool>("ownPort"); // sent from another port than the PJLink UDP port
    QTest::addColumn<QStringList>("answers");
    const QStringList both{kLeft + u" %2ACKN="_s + QString::fromLatin1(kLeftMac),
                           kRight + u" %2ACKN="_s + QString::fromLatin1(kRightMac)};
    QTest::newRow("broadcast") << u"127.255.255.255"_s << false << both;
    QTest::newRow("broadcast from another port") << u"127.255.255.255"_s << true << both;
    QTest::newRow("to a host address of no projector") << u"127.0.0.1"_s << false << both;
    QTest::newRow("to one projector") << kRight << false << both.mid(1);
}

void TstPjlink2::search()
{
    QFETCH(QString, to);
    QFETCH(bool, ownPort);
    QFETCH(QStringList, answers);
    // The first row is the searcher that is notified from then on.
    Controller other(u"127.0.0.%1"_s.arg(20 + ++searchers_), ownPort ? 0 : udp_);
    Controller &controller = searchers_ == 1 ? *searcher_ : other;
    controller.send("%2SRCH\r", to, udp_);
    QTRY_COMPARE_WITH_TIMEOUT(controller.got.size(), answers.size(), kTimeout);
    QTest::qWait(200);
    controller.got.sort();
    QCOMPARE(controller.got, answers);
}

void TstPjlink2::notifications()
{
    // Switched on from a web page, and each power state is told once, however often it is
    // polled during the warm-up.
    QWebSocket page(u"http://127.0.0.1:%1"_s.arg(web_));
    page.open(QUrl(u"ws://127.0.0.1:%1/projector/left/socket"_s.arg(web_)));
    QTRY_COMPARE_WITH_TIMEOUT(page.state(), QAbstractSocket::ConnectedState, kTimeout);
    page.sendTextMessage(uR"({"click": "Command17"})"_s);
    for (Controller *controller : {named_.get(), searcher_.get()})
        QTRY_COMPARE_WITH_TIMEOUT(controller->count(kLeft + u" %2POWR=1"_s), 1, kTimeout);
    QCOMPARE(named_->count(kLeft + u" %2POWR=3"_s), 1);
    // An input from the broker.
    watcher_->publish(u"qv7/left/input/set"_s, "pc2");
    QTRY_COMPARE_WITH_TIMEOUT(named_->count(kLeft + u" %2INPT=12"_s), 1, kTimeout);
    // Each command is logged once by the line's owner, with where it came from; the polls
    // that followed them are not.
    QTRY_COMPARE_WITH_TIMEOUT(inLog(u"left: sent C00 (power on) for web page 127.0.0.1:"_s), 1,
                              kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(
        inLog(u"left: sent C06 (input pc2) for MQTT topic qv7/left/input/set"_s), 1, kTimeout);
    QCOMPARE(inLog(u"left: sent CR"_s), 0);
    // A line pulled and plugged back comes up again, and its state is told again.
    named_->got.clear();
    right_->server.close();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/right/link"_s), "down", kTimeout);
    right_->open();
    QTRY_COMPARE_WITH_TIMEOUT(named_->got.filter(kRight).value(0),
                              kRight + u" %2LKUP="_s + QString::fromLatin1(kRightMac), kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(named_->count(kRight + u" %2POWR=0"_s), 1, kTimeout);
    // Nothing was told of [left], which did not change.
    QVERIFY2(named_->got.filter(kLeft).isEmpty(), qPrintable(named_->got.join(u'\n')));
}

bool TstPjlink2::answers()
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        Controller controller(u"127.0.0.%1"_s.arg(20 + ++searchers_), udp_);
        controller.send("%2SRCH\r", kLeft, udp_);
        if (QTest::qWaitFor([&] { return !controller.got.isEmpty(); }, 2000))
            return true;
    }
    return false;
}

qsizetype TstPjlink2::logged(const QString &text)
{
    const QString fresh = QString::fromUtf8(bridge_->readAllStandardError());
    log_ += fresh;
    return fresh.split(u'\n').filter(text).size();
}

qsizetype TstPjlink2::inLog(const QString &text)
{
    logged({});
    return log_.split(u'\n').filter(text).size();
}

void TstPjlink2::badDatagrams_data()
{
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<int>("senders"); // addresses it is sent from, 100 times each
    QTest::addColumn<QString>("logged");
    QTest::addColumn<int>("mostAnswers");
    const auto row = [](const char *name, const QByteArray &datagram, int senders = 1) {
        QTest::newRow(name) << datagram << senders << u"no search"_s << 0;
    };
    row("rubbish", QByteArray("\x00\xff\x1b[2J\r\nqv7-bridge: forged\r", 27));
    row("oversized", "%2SRCH\r" + QByteArray(60000, 'x'));
    row("half a search", "%2SR");
    row("no carriage return", "%2SRCH");
    row("a request", "%2POWR ?\r");
    row("a class 1 request", "%1POWR ?\r");
    row("another projector's answer", "%2ACKN=02:00:00:00:00:01\r", 20);
    // At most the first search of each address in each of two seconds, answered by both
    // projectors; unbounded, 6,000.
    QTest::newRow("a flood of searches")
        << QByteArray("%2SRCH\r") << 30 << u"not answered"_s << 30 * 2 * 2;
}

void TstPjlink2::badDatagrams()
{
    QFETCH(QByteArray, datagram);
    QFETCH(int, senders);
    QFETCH(QString, logged);
    QFETCH(int, mostAnswers);
    QVERIFY(answers());
    this->logged(logged);
    std::vector<std::unique_ptr<Controller>> controllers;
    for (int i = 0; i < senders; ++i) {
        controllers.push_back(std::make_unique<Controller>(u"127.0.1.%1"_s.arg(i + 1), 0));
        for (int n = 0; n < 100; ++n)
            controllers.back()->send(datagram, u"127.255.255.255"_s, udp_);
    }
    QVERIFY(answers());
    qsizetype got = 0;
    for (const auto &controller : controllers)
        got += controller->got.size();
    QVERIFY2(got <= mostAnswers, qPrintable(QString::number(got)));
    // One line for the burst, none of it the datagram's text, and the rest served.
    QVERIFY2(this->logged(logged) <= 1, qPrintable(log_));
    QVERIFY2(!log_.contains(u"\nqv7-bridge: forged"_s), qPrintable(log_));
    QVERIFY(log_.contains(logged));
    QCOMPARE(ask(leftPort_, kLeft, "%1CLSS ?").left(7), "%1CLSS=");
    QCOMPARE(bridge_->state(), QProcess::Running);
}

void TstPjlink2::commandLine_data()
{
    QTest::addColumn<QString>("inventory"); // %1: a free port
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const char *inventory, int status, const char *error) {
        QTest::newRow(name) << u"[a]\nport = /dev/null\n"_s + QString::fromLatin1(inventory)
                            << status << QString::fromLatin1(error);
    };
    row("one address and port for two",
        "pjlink = 127.0.0.13:%1\n[b]\nport = /dev/null\n"
        "pjlink = 127.0.0.13:%1\n",
        64, "and [b] at 127.0.0.13:");
    row("one address on two ports",
        "pjlink = 127.0.0.13:%1\n[b]\nport = /dev/null\n"
        "pjlink = 127.0.0.13:1\n",
        64, "and [b] at 127.0.0.13:1 share a PJLink address: give each");
    row("a wildcard and an address",
        "pjlink = 0.0.0.0:%1\n[b]\nport = /dev/null\n"
        "pjlink = 127.0.0.13:%1\n",
        64, "[a] at 0.0.0.0:");
    row("one MAC address for two",
        "pjlink = 127.0.0.13:%1\nmac = 02:00:00:00:00:01\n[b]\n"
        "port = /dev/null\npjlink = 127.0.0.14:%1\nmac = 02:00:00:00:00:01\n",
        64, "[a] and [b] have the same MAC address 02:00:00:00:00:01");
    row("a multicast MAC address", "pjlink = 127.0.0.13:%1\nmac = 03:00:00:00:00:01\n", 64,
        "mac is a unicast MAC address");
    row("mac without pjlink", "mac = 02:00:00:00:00:01\n", 64, "[a] has a mac but no pjlink");
    row("a host name to notify", "pjlink = 127.0.0.13:%1\npjlink-notify = localhost\n", 64,
        "pjlink-notify is ADDRESS[:PORT]");
    row("IPv6 to notify from IPv4", "pjlink = 127.0.0.13:%1\npjlink-notify = [::1]:9\n", 64,
        "[a] pjlink-notify ::1: its PJLink address 127.0.0.13 cannot reach it");
    row("UDP port taken", "pjlink = 127.0.0.13:%1\n", 69, "PJLink search and notifications on UDP");
}

void TstPjlink2::commandLine()
{
    QFETCH(QString, inventory);
    QFETCH(int, status);
    QFETCH(QString, error);
    const quint16 port = freePort();
    QUdpSocket taken; // without sharing, as a program on the host might hold it
    QVERIFY(taken.bind(QHostAddress(u"127.0.0.13"_s), port, QUdpSocket::DontShareAddress));
    const auto process = startBridge(dir_.path(), inventory.replace(u"%1"_s, QString::number(port)),
                                     {u"--pjlink-udp"_s, QString::number(port)});
    QVERIFY(process->waitForFinished(kTimeout));
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QVERIFY2(log.contains(error), qPrintable(log));
    QCOMPARE(process->exitCode(), status);
}

QTEST_MAIN(TstPjlink2)
#include "tst_pjlink2.moc"
