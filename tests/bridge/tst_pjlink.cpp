// qv7-bridge's PJLink face as AV control systems use it: real sockets on loopback, a simulated
// projector on a pseudo-terminal behind each port, a real mosquitto beside them.

#include "bridge/pjlink/pjlinkserver.h"
#include "broker.h"
#include "manualclock.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace qv7::test;

namespace {

// The slowest event waited for is a lost line opened again, 5 s after its loss.
constexpr int kTimeout = 10000;

// A PJLink client that waits in the event loop, so that the simulators of this process answer.
class Client {
public:
    Client(const QHostAddress &host, quint16 port) { socket_.connectToHost(host, port); }

    // The next line without its carriage return; "closed" when the daemon closed first.
    QByteArray next(int timeout = kTimeout)
    {
        const bool ended = QTest::qWaitFor(
            [this] {
                buffer_ += socket_.readAll();
                return buffer_.contains('\r') || !isOpen();
            },
            timeout);
        const qsizetype end = buffer_.indexOf('\r');
        if (!ended || end < 0)
            return isOpen() ? "nothing" : "closed";
        const QByteArray line = buffer_.first(end);
        buffer_.remove(0, end + 1);
        return line;
    }
    QByteArray ask(const QByteArray &request)
    {
        socket_.write(request + '\r');
        return next();
    }
    void write(const QByteArray &bytes) { socket_.write(bytes); }
    bool isOpen() const { return socket_.state() != QAbstractSocket::UnconnectedState; }

private:
    QTcpSocket socket_;
    QByteArray buffer_;
};

// A client past the greeting, and past the password when there is one; the daemon may still
// be starting.
std::unique_ptr<Client> greeted(const QHostAddress &host, quint16 port,
                                const QByteArray &password = {})
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        auto client = std::make_unique<Client>(host, port);
        const QByteArray greeting = client->next();
        if (greeting.startsWith("PJLINK ")) {
            if (!password.isEmpty())
                client->write(
                    QCryptographicHash::hash(greeting.sliced(9) + password, QCryptographicHash::Md5)
                        .toHex());
            return client;
        }
        QTest::qWait(100);
    }
    qFatal("no PJLink greeting on port %d", port);
}

// The metrics port's answer, read to its close.
QByteArray scrape(quint16 port, const QByteArray &request = {})
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(!request.isEmpty() ? request
                                    : "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" +
                                          QByteArray::number(port) + "\r\n\r\n");
    QByteArray response;
    if (!QTest::qWaitFor(
            [&] {
                response += socket.readAll();
                return socket.state() == QAbstractSocket::UnconnectedState;
            },
            kTimeout))
        qWarning("the metrics port did not close its answer within %d ms", kTimeout);
    return response;
}

// A connection from 127.0.0.HOST: "served" when it is greeted (PJLink) or answered (HTTP),
// "closed" when it is turned away, "nothing" when nobody takes it.
QByteArray probe(quint16 port, int host, bool http)
{
    QTcpSocket socket;
    socket.bind(QHostAddress(u"127.0.0.%1"_s.arg(host)));
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (http)
        socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                     "\r\n\r\n");
    QByteArray data;
    const bool ended = QTest::qWaitFor(
        [&] {
            data += socket.readAll();
            return !data.isEmpty() || socket.state() == QAbstractSocket::UnconnectedState;
        },
        kTimeout);
    return !data.isEmpty() ? "served" : ended ? "closed" : "nothing";
}

} // namespace

class TstPjlink : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void unknownRequests();
    void requests_data();
    void requests();
    void authentication_data();
    void authentication();
    void guessesWaitTheirTurn();
    void badClients_data();
    void badClients();
    void powerOnWithTheBroker();
    void metrics_data();
    void metrics();
    void silentThenLostLine();
    void logReaderGone();
    void commandLine_data();
    void commandLine();
    void crowds_data();
    void crowds();
    void outOfDescriptors();

private:
    QTemporaryDir dir_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Watcher> watcher_;
    // In standby with 1234 lamp hours, no password; and one that warms up in 3 s and cools down
    // for a minute, with one.
    std::unique_ptr<Line> hall_;
    std::unique_ptr<Line> stage_;
    quint16 hallPort_ = 0;
    quint16 stagePort_ = 0;
    quint16 metricsPort_ = 0;
    std::unique_ptr<BridgeProcess> bridge_;
    QByteArray log_; // what the daemon has logged so far
    // A daemon limited to 200 descriptors, with PJLink, the web pages and the metrics.
    void startCrowded();
    std::unique_ptr<Line> crowdedLine_;
    std::unique_ptr<BridgeProcess> crowded_;
    QMap<QString, quint16> crowdedPorts_;
};

void TstPjlink::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    watcher_ = std::make_unique<Watcher>(*broker_);
    hall_ = std::make_unique<Line>(dir_.filePath(u"hall"_s),
                                   qv7::sim::ProjectorSettings{.lampHours = 1234});
    stage_ =
        std::make_unique<Line>(dir_.filePath(u"stage"_s),
                               qv7::sim::ProjectorSettings{.warmUp = std::chrono::seconds(3),
                                                           .coolDown = std::chrono::minutes(1)});
    // Beside the inventory, named by a relative path.
    QFile password(dir_.filePath(u"password"_s));
    QVERIFY(password.open(QIODevice::WriteOnly) && password.write("sesame\n") == 7);
    password.close();
    hallPort_ = freePort();
    stagePort_ = freePort();
    metricsPort_ = freePort();
    bridge_ =
        startBridge(dir_.path(),
                    u"[hall]\nport = %1\npjlink = 127.0.0.1:%2\nmanufacturer = ORBA\n"
                    "serial-number = QV7-0042\nlamp-model = LMP-7\ninput-name-pc2 = Lectern\n"
                    "[stage]\nport = %3\npjlink = [::1]:%4\npjlink-password-file = password\n"
                    "transition-poll = 1\n"_s.arg(hall_->link)
                        .arg(hallPort_)
                        .arg(stage_->link)
                        .arg(stagePort_),
                    {u"--broker"_s, broker_->url(), u"--metrics"_s, QString::number(metricsPort_)});
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/power"_s), "standby", kTimeout);
}

void TstPjlink::unknownRequests()
{
    // Requests that no class has: the standard's answer, one log line for the burst, and the
    // client served on. First, so that no earlier unknown request began the burst.
    const auto client = greeted(QHostAddress::LocalHost, hallPort_);
    QCOMPARE(client->ask("%2XYZW ?"), "%2XYZW=ERR1");
    QCOMPARE(client->ask("%2ABCD 1"), "%2ABCD=ERR1");
    QCOMPARE(client->ask("%2POWR ?"), "%2POWR=0");
    // A line the daemon logs after them, to know that it has logged all it will.
    client->write("last line\r");
    QTRY_VERIFY_WITH_TIMEOUT((log_ += bridge_->readAllStandardError()).contains("\"last line\" is"),
                             kTimeout);
    QVERIFY2(log_.contains("unknown request %2XYZW answered ERR1") && !log_.contains("%2ABCD"),
             log_.constData());
}

void TstPjlink::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    const auto row = [](const char *name, const QByteArray &request, const char *answer) {
        QTest::newRow(name) << request << QByteArray(answer);
    };
    row("power", "%1POWR ?", "%1POWR=0");
    row("body in small letters", "%1powr ?", "%1POWR=0");
    row("input", "%1INPT ?", "%1INPT=11");
    row("lamp, not lit", "%1LAMP ?", "%1LAMP=1234 0");
    row("errors", "%1ERST ?", "%1ERST=000000");
    row("inputs", "%1INST ?", "%1INST=11 12 21");
    row("mutes after start", "%1AVMT ?", "%1AVMT=30");
    row("name", "%1NAME ?", "%1NAME=hall");
    row("manufacturer", "%1INF1 ?", "%1INF1=ORBA");
    row("model", "%1INF2 ?", "%1INF2=QV7");
    row("other information", "%1INFO ?", "%1INFO=");
    row("class", "%1CLSS ?", "%1CLSS=2");
    row("off in standby", "%1POWR 0", "%1POWR=OK");
    row("input in standby", "%1INPT 12", "%1INPT=ERR3");
    row("mute in standby", "%1AVMT 31", "%1AVMT=ERR3");
    row("an input it lacks", "%1INPT 31", "%1INPT=ERR2");
    row("input rubbish", "%1INPT 1x", "%1INPT=ERR2");
    row("power out of range", "%1POWR 2", "%1POWR=ERR2");
    row("no parameter", "%1POWR", "%1POWR=ERR2");
    row("parameter too long", "%1INPT " + QByteArray(129, '1'), "%1INPT=ERR2");
    row("control bytes", "%1INPT 1\x01", "%1INPT=ERR2");
    row("unknown body", "%1XYZW ?", "%1XYZW=ERR1");
    row("a class 2 request in class 1", "%1SNUM ?", "%1SNUM=ERR1");
    row("class 3", "%3POWR ?", "%3POWR=ERR1");
    // A Class 2 controller, from the standard: Class 1's requests answered in its class, and
    // its own.
    row("2: class", "%2CLSS ?", "%2CLSS=2");
    row("2: power", "%2POWR ?", "%2POWR=0");
    row("2: input", "%2INPT ?", "%2INPT=11");
    row("2: inputs", "%2INST ?", "%2INST=11 12 21");
    row("2: errors", "%2ERST ?", "%2ERST=000000");
    row("2: lamp", "%2LAMP ?", "%2LAMP=1234 0");
    row("2: mutes", "%2AVMT ?", "%2AVMT=30");
    row("2: input in standby", "%2INPT 21", "%2INPT=ERR3");
    row("2: an input it lacks", "%2INPT 1A", "%2INPT=ERR2");
    row("2: input name, the caption", "%2INNM ?11", "%2INNM=PC 1");
    row("2: input name, the inventory's", "%2INNM ?12", "%2INNM=Lectern");
    row("2: name of an input it lacks", "%2INNM ?31", "%2INNM=ERR2");
    row("2: input name without ?", "%2INNM 21", "%2INNM=ERR2");
    row("2: serial number", "%2SNUM ?", "%2SNUM=QV7-0042");
    row("2: software version", "%2SVER ?", "%2SVER=" QV7_VERSION);
    row("2: lamp model", "%2RLMP ?", "%2RLMP=LMP-7");
    row("2: no filter model given", "%2RFIL ?", "%2RFIL=");
    row("2: freeze not known yet", "%2FREZ ?", "%2FREZ=ERR3");
    row("2: freeze in standby", "%2FREZ 1", "%2FREZ=ERR3");
    row("2: freeze out of range", "%2FREZ 2", "%2FREZ=ERR2");
    row("2: volume in standby", "%2SVOL 1", "%2SVOL=ERR3");
    row("2: volume out of range", "%2SVOL 2", "%2SVOL=ERR2");
    row("2: no microphone", "%2MVOL 1", "%2MVOL=ERR1");
    row("2: no filter hours", "%2FILT ?", "%2FILT=ERR1");
    row("2: input resolution", "%2IRES ?", "%2IRES=ERR1");
    row("2: recommended resolution", "%2RRES ?", "%2RRES=ERR1");
}

void TstPjlink::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    const auto client = greeted(QHostAddress::LocalHost, hallPort_);
    QCOMPARE(client->ask(request), answer);
    // Nothing but queries reached the projector.
    QVERIFY2(hall_->traffic.filter(QRegularExpression(u"^C[^R]"_s)).isEmpty(),
             qPrintable(hall_->traffic.join(u' ')));
}

void TstPjlink::authentication_data()
{
    QTest::addColumn<QByteArray>("digest"); // "right": the client's own, from the greeting
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer");
    const auto row = [](const char *name, const QByteArray &digest, const char *request,
                        const char *answer) {
        QTest::newRow(name) << digest << QByteArray(request) << QByteArray(answer);
    };
    row("right", "right", "%1CLSS ?", "%1CLSS=2");
    row("right, in capitals", "RIGHT", "%1CLSS ?", "%1CLSS=2");
    row("wrong", QByteArray(32, '0'), "%1CLSS ?", "PJLINK ERRA");
    row("none", "", "%1CLSS ?", "PJLINK ERRA");
    // Class 2 keeps Class 1's procedure.
    row("right, class 2", "right", "%2SVER ?", "%2SVER=" QV7_VERSION);
    row("wrong, class 2", QByteArray(32, '0'), "%2SVER ?", "PJLINK ERRA");
}

void TstPjlink::authentication()
{
    QFETCH(QByteArray, digest);
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    auto client = std::make_unique<Client>(QHostAddress::LocalHostIPv6, stagePort_);
    const QByteArray greeting = client->next();
    QVERIFY2(QRegularExpression(u"^PJLINK 1 [0-9a-f]{8}$"_s).match(greeting).hasMatch(),
             greeting.constData());
    if (digest.toLower() == "right") {
        const QByteArray right =
            QCryptographicHash::hash(greeting.sliced(9) + "sesame", QCryptographicHash::Md5)
                .toHex();
        digest = digest == "right" ? right : right.toUpper();
    }
    QCOMPARE(client->ask(digest + request), answer);
    if (answer.startsWith("PJLINK")) {
        QCOMPARE(client->next(), "closed");
        return;
    }
    // Only the first request carries the digest.
    QCOMPARE(client->ask("%1NAME ?"), "%1NAME=stage");
}

void TstPjlink::guessesWaitTheirTurn()
{
    // In this process, on a clock that the test moves: after a wrong digest, every digest from
    // that address is refused until the wrong one is answered, the right one too.
    ManualClock clock;
    qv7::bridge::LoginThrottle throttle(clock);
    qv7::InventoryEntry entry;
    entry.name = u"desk"_s;
    entry.pjlinkHost = u"127.0.0.1"_s;
    qv7::bridge::LineOwner line(entry, {}, nullptr, clock);
    qv7::bridge::PjlinkServer server(line, "sesame", throttle);
    QVERIFY(server.listen());
    const auto wrong = greeted(QHostAddress::LocalHost, server.port(), "open");
    wrong->write("%1CLSS ?\r");
    QTRY_VERIFY_WITH_TIMEOUT(throttle.wait(QHostAddress::LocalHost) > 0ms, kTimeout);
    QCOMPARE(greeted(QHostAddress::LocalHost, server.port(), "sesame")->ask("%1CLSS ?"),
             "PJLINK ERRA");
    clock.advance(1s);
    QCOMPARE(wrong->next(), "PJLINK ERRA");
    QCOMPARE(greeted(QHostAddress::LocalHost, server.port(), "sesame")->ask("%1CLSS ?"),
             "%1CLSS=2");
}

void TstPjlink::badClients_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("connections");
    QTest::addColumn<QByteArray>("logged"); // in the daemon's log, as it is escaped there
    QTest::newRow("binary rubbish")
        << QByteArray("\x00\xff\x1b[2J\r", 7) << 1 << QByteArray("\"\\x00\xc3\xbf\\x1b[2J\" is no");
    QTest::newRow("no header") << QByteArray("POWR ?\r") << 1 << QByteArray();
    // A line end inside a request would forge a line of the daemon's own in the log.
    QTest::newRow("a line end inside")
        << QByteArray("x\nqv7-bridge: forged\r") << 1 << QByteArray("\"x\\nqv7-bridge: fo\" is no");
    QTest::newRow("no carriage return") << QByteArray(200, '%') << 1 << QByteArray();
    QTest::newRow("a flood of requests")
        << QByteArray("%1POWR ?\r").repeated(1000) << 1 << QByteArray();
    QTest::newRow("a hundred connections") << QByteArray() << 100 << QByteArray();
    QTest::newRow("silent for 30 s") << QByteArray() << 1 << QByteArray();
}

void TstPjlink::badClients()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, connections);
    QFETCH(QByteArray, logged);
    const auto other = greeted(QHostAddress::LocalHost, hallPort_);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < connections; ++i) {
        clients.push_back(std::make_unique<Client>(QHostAddress::LocalHost, hallPort_));
        clients.back()->write(bytes);
    }
    if (connections == 1) {
        // Whatever it was answered before, it is closed in the end.
        QTRY_VERIFY_WITH_TIMEOUT(!clients.front()->isOpen(), 35000);
    } else {
        for (const auto &client : clients) {
            const QByteArray first = client->next();
            QVERIFY2(first == "PJLINK 0" || first == "closed", first.constData());
        }
    }
    // The daemon stays responsive on its other clients (after 30 s of silence, on a new one),
    // and the line saw only queries.
    const auto fresh = other->isOpen() ? nullptr : greeted(QHostAddress::LocalHost, hallPort_);
    QCOMPARE((fresh ? fresh : other)->ask("%1POWR ?"), "%1POWR=0");
    QVERIFY(hall_->traffic.filter(QRegularExpression(u"^C[^R]"_s)).isEmpty());
    if (!logged.isEmpty()) {
        QTRY_VERIFY2_WITH_TIMEOUT((log_ += bridge_->readAllStandardError()).contains(logged),
                                  log_.constData(), kTimeout);
        QVERIFY2(!log_.contains("\nqv7-bridge: forged"), log_.constData());
    }
}

void TstPjlink::powerOnWithTheBroker()
{
    const auto client = greeted(QHostAddress::LocalHostIPv6, stagePort_, "sesame");
    QCOMPARE(client->ask("%1POWR 1"), "%1POWR=OK");
    // What PJLink did shows on the broker.
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/power"_s), "warming", kTimeout);
    QCOMPARE(client->ask("%1POWR ?"), "%1POWR=3");
    QCOMPARE(client->ask("%1POWR 0"), "%1POWR=ERR3");
    QCOMPARE(client->ask("%1INPT 21"), "%1INPT=ERR3");
    QCOMPARE(client->ask("%1LAMP ?"), "%1LAMP=0 1");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/power"_s), "on", kTimeout);
    // Class 2 on the line: the freeze as either face set it, one send of the volume a step.
    QCOMPARE(client->ask("%2FREZ ?"), "%2FREZ=0");
    QCOMPARE(client->ask("%2FREZ 1"), "%2FREZ=OK");
    QCOMPARE(client->ask("%2FREZ ?"), "%2FREZ=1");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/freeze"_s), "on", kTimeout);
    watcher_->publish(u"qv7/stage/command"_s, "freeze off");
    QVERIFY(QTest::qWaitFor([&] { return client->ask("%2FREZ ?") == "%2FREZ=0"; }, kTimeout));
    QCOMPARE(client->ask("%2SVOL 1"), "%2SVOL=OK");
    QCOMPARE(client->ask("%2SVOL 0"), "%2SVOL=OK");
    QCOMPARE(stage_->traffic.count(u"C09"_s), 1);
    QCOMPARE(stage_->traffic.count(u"C0A"_s), 1);
    QCOMPARE(client->ask("%2INPT 12"), "%2INPT=OK");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/input"_s), "pc2", kTimeout);
    QCOMPARE(client->ask("%1INPT 21"), "%1INPT=OK");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/input"_s), "video", kTimeout);
    QCOMPARE(client->ask("%1AVMT 31"), "%1AVMT=OK");
    QCOMPARE(client->ask("%1AVMT ?"), "%1AVMT=31");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/video_mute"_s), "on", kTimeout);
    // A mute set on the broker is the one PJLink reports.
    watcher_->publish(u"qv7/stage/command"_s, "video-mute off");
    QVERIFY(QTest::qWaitFor([&] { return client->ask("%1AVMT ?") == "%1AVMT=21"; }, kTimeout));

    // Clients and the broker at once: one command at a time on the line, every one answered.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.push_back(greeted(QHostAddress::LocalHostIPv6, stagePort_, "sesame"));
    for (const auto &other : clients)
        other->write("%1POWR ?\r%1INPT ?\r%1AVMT 30\r");
    watcher_->publish(u"qv7/stage/command"_s, "volume up 3 status");
    for (const auto &other : clients) {
        QCOMPARE(other->next(), "%1POWR=1");
        QCOMPARE(other->next(), "%1INPT=21");
        QCOMPARE(other->next(), "%1AVMT=OK");
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        QJsonDocument::fromJson(watcher_->last(u"qv7/stage/reply"_s)).object().value("command"),
        u"status"_s, kTimeout);
    const QRegularExpression whole(u"^(=.*|C(R\\d|[0-9A-F]{2}))$"_s);
    for (const QString &entry : std::as_const(stage_->traffic))
        QVERIFY2(whole.match(entry).hasMatch(), qPrintable(entry));

    QCOMPARE(client->ask("%1POWR 0"), "%1POWR=OK");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/power"_s), "cooling", kTimeout);
    QCOMPARE(client->ask("%1POWR 1"), "%1POWR=ERR3");
    // A lamp too hot while it cools down is a fault on every face, not a cool-down.
    stage_->server.projector().setTemperatureAbnormality(true);
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/stage/power"_s), "fault", kTimeout);
    QCOMPARE(client->ask("%1POWR ?"), "%1POWR=ERR4");
    QCOMPARE(client->ask("%1ERST ?"), "%1ERST=002000");
    const QByteArray metrics = scrape(metricsPort_);
    QVERIFY2(metrics.contains("qv7_power_state{projector=\"stage\",state=\"fault\"} 1\n"),
             metrics.constData());
}

void TstPjlink::metrics_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("expected"); // in the response
    const QByteArray host = "\r\nHost: 127.0.0.1:" + QByteArray::number(metricsPort_) + "\r\n\r\n";
    QTest::newRow("metrics") << "GET /metrics HTTP/1.1" + host
                             << QByteArray("qv7_link{projector=\"hall\",state=\"up\"} 1\n");
    QTest::newRow("another path") << "GET / HTTP/1.0" + host
                                  << QByteArray("HTTP/1.1 404 Not Found\r\n");
    QTest::newRow("another method")
        << "DELETE /metrics HTTP/1.1" + host << QByteArray("HTTP/1.1 405 Method Not Allowed\r\n");
    // A page elsewhere whose name is rebound to this machine, and a request that names none.
    QTest::newRow("a foreign host")
        << QByteArray("GET /metrics HTTP/1.1\r\nHost: rebound.example:") +
               QByteArray::number(metricsPort_) + "\r\n\r\n"
        << QByteArray("HTTP/1.1 421 Misdirected Request\r\n");
    QTest::newRow("no host") << QByteArray("GET /metrics HTTP/1.0\r\n\r\n")
                             << QByteArray("HTTP/1.1 421 Misdirected Request\r\n");
    QTest::newRow("endless headers") << QByteArray(9000, 'x') << QByteArray("HTTP/1.1 431");
}

void TstPjlink::metrics()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, expected);
    const QByteArray response = scrape(metricsPort_, request);
    QVERIFY2(response.contains(expected), response.constData());
    if (!response.startsWith("HTTP/1.1 200 OK"))
        return;
    QVERIFY(response.contains("qv7_lamp_seconds{projector=\"hall\"} 4442400\n")); // 1234 h
    // Prometheus' own linter finds no fault in them.
    QProcess promtool;
    promtool.start(u"promtool"_s, {u"check"_s, u"metrics"_s});
    if (!promtool.waitForStarted())
        QSKIP("promtool is not installed (Debian package prometheus; scripts/deps.sh has it)");
    promtool.write(response.sliced(response.indexOf("\r\n\r\n") + 4));
    promtool.closeWriteChannel();
    QVERIFY(promtool.waitForFinished());
    QVERIFY2(promtool.exitCode() == 0, promtool.readAllStandardError().constData());
}

void TstPjlink::silentThenLostLine()
{
    const auto client = greeted(QHostAddress::LocalHost, hallPort_);
    hall_->server.setFaults({.noAnswer = true});
    QCOMPARE(client->ask("%1POWR ?"), "%1POWR=ERR4");
    QCOMPARE(client->ask("%1LAMP ?"), "%1LAMP=ERR4");
    // Its power state is still known, but it is down to monitoring.
    const QByteArray metrics = scrape(metricsPort_);
    QVERIFY2(metrics.contains("qv7_up{projector=\"hall\"} 0\n") &&
                 metrics.contains("qv7_link{projector=\"hall\",state=\"silent\"} 1\n"),
             metrics.constData());
    hall_->server.setFaults({});
    QCOMPARE(client->ask("%1POWR ?"), "%1POWR=0");
    hall_->server.close();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/hall/link"_s), "down", kTimeout);
    QCOMPARE(client->ask("%1POWR ?"), "%1POWR=ERR4");
    QCOMPARE(client->ask("%1POWR 1"), "%1POWR=ERR4");
    QCOMPARE(client->ask("%2FREZ ?"), "%2FREZ=ERR4");
    QCOMPARE(client->ask("%2SVOL 1"), "%2SVOL=ERR4");
    // The port stays up while the line is opened again.
    const auto later = greeted(QHostAddress::LocalHost, hallPort_);
    hall_->open();
    QVERIFY(QTest::qWaitFor([&] { return later->ask("%1POWR ?") == "%1POWR=0"; }, kTimeout));
}

void TstPjlink::logReaderGone()
{
    // Standard error a pipe whose reader has gone, as when a journal restarts: each line fails
    // to be written, and the daemon goes on serving. The child starts with SIGPIPE's default
    // action, whatever this process was given.
    int ends[2];
    QCOMPARE(::pipe(ends), 0);
    ::close(ends[0]);
    Line line(dir_.filePath(u"piped"_s));
    const quint16 port = freePort();
    const auto process = startBridge(
        dir_.path(), u"[piped]\nport = %1\npjlink = 127.0.0.1:%2\n"_s.arg(line.link).arg(port), {},
        [end = ends[1]] {
            ::dup2(end, STDERR_FILENO);
            std::signal(SIGPIPE, SIG_DFL);
        });
    ::close(ends[1]);
    QVERIFY(process->waitForStarted());
    // It logs that it listens before it does, and a client it closes.
    QTRY_VERIFY_WITH_TIMEOUT(process->state() != QProcess::Running ||
                                 Client(QHostAddress::LocalHost, port).next(1000) == "PJLINK 0",
                             kTimeout);
    QCOMPARE(process->state(), QProcess::Running);
    Client rude(QHostAddress::LocalHost, port);
    QCOMPARE(rude.ask("rubbish"), "PJLINK 0");
    QCOMPARE(rude.next(), "closed");
    QCOMPARE(greeted(QHostAddress::LocalHost, port)->ask("%1POWR ?"), "%1POWR=0");
    QCOMPARE(process->state(), QProcess::Running);
}

void TstPjlink::commandLine_data()
{
    QTest::addColumn<QString>("inventory"); // %1: a file of a 40-character line, %3: 65 characters
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const char *inventory, const char *arguments, int status,
                        const char *error) {
        QTest::newRow(name) << u"[a]\nport = /dev/null\n"_s + QString::fromLatin1(inventory)
                            << QString::fromLatin1(arguments) << status
                            << QString::fromLatin1(error);
    };
    row("nothing to serve", "", "", 64,
        "nothing to serve: give --broker URL, --web PORT, --metrics PORT, or a pjlink key");
    row("no port", "pjlink = 127.0.0.1\n", "", 64, ".ini:3: pjlink is ADDRESS:PORT");
    row("a host name", "pjlink = localhost:4352\n", "", 64, "pjlink is ADDRESS:PORT");
    row("IPv6 without brackets", "pjlink = ::1:4352\n", "", 64, "pjlink is ADDRESS:PORT");
    row("password without pjlink", "pjlink-password-file = /etc/hostname\n", "", 64,
        "[a] has a pjlink-password-file but no pjlink");
    row("password unreadable", "pjlink = 127.0.0.1:1\npjlink-password-file = /nonexistent\n", "",
        64, "pjlink-password-file /nonexistent: cannot be read");
    row("password too long", "pjlink = 127.0.0.1:1\npjlink-password-file = %1\n", "", 64,
        "at most 32 printable ASCII characters");
    row("model too long", "model = QV7 with a name far too long for PJLink\n", "", 64,
        "model is at most 32 printable ASCII characters");
    row("input name too long", "input-name-pc1 = %3\n", "", 64,
        "input-name-pc1 is at most 64 printable ASCII characters");
    row("broker option alone", "pjlink = 127.0.0.1:1\n", "--username u", 64,
        "--username is for a broker: give --broker URL as well");
    row("port taken", "pjlink = 127.0.0.1:%2\n", "", 69, "a: PJLink on 127.0.0.1:");
    row("metrics: a host name", "", "--metrics localhost:9752", 64, "--metrics is PORT or");
}

void TstPjlink::commandLine()
{
    QFETCH(QString, inventory);
    QFETCH(QString, arguments);
    QFETCH(int, status);
    QFETCH(QString, error);
    QFile longPassword(dir_.filePath(u"long"_s));
    QVERIFY(longPassword.open(QIODevice::WriteOnly) && longPassword.write(QByteArray(40, 'x')));
    longPassword.close();
    const auto process = startBridge(dir_.path(),
                                     inventory.replace(u"%1"_s, longPassword.fileName())
                                         .replace(u"%2"_s, QString::number(hallPort_))
                                         .replace(u"%3"_s, QString(65, u'x')),
                                     arguments.split(u' ', Qt::SkipEmptyParts));
    QVERIFY(process->waitForFinished(kTimeout));
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QVERIFY2(log.contains(error), qPrintable(log));
    QCOMPARE(process->exitCode(), status);
}

void TstPjlink::crowds_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("fromOne"); // connections held from 127.0.0.1 before the one turned away
    QTest::newRow("PJLink: 9 from one address") << u"pjlink"_s << 8;
    QTest::newRow("metrics: 5 from one address") << u"metrics"_s << 4;
    QTest::newRow("web: 65 from one address") << u"web"_s << 64;
}

void TstPjlink::startCrowded()
{
    if (!crowded_) {
        crowdedLine_ = std::make_unique<Line>(dir_.filePath(u"crowded"_s));
        for (const QString &name : {u"pjlink"_s, u"web"_s, u"metrics"_s})
            crowdedPorts_[name] = freePort();
        crowded_ =
            startBridge(dir_.path(),
                        u"[crowded]\nport = %1\npjlink = 127.0.0.1:%2\n"_s.arg(crowdedLine_->link)
                            .arg(crowdedPorts_[u"pjlink"_s]),
                        {u"--web"_s, QString::number(crowdedPorts_[u"web"_s]), u"--metrics"_s,
                         QString::number(crowdedPorts_[u"metrics"_s])},
                        [] {
                            const rlimit limit{200, 200};
                            ::setrlimit(RLIMIT_NOFILE, &limit);
                        });
        QTRY_VERIFY_WITH_TIMEOUT(probe(crowdedPorts_[u"pjlink"_s], 1, false) == "served", kTimeout);
        const QByteArray log = crowded_->readAllStandardError();
        QVERIFY2(log.contains("the descriptor limit is 200, fewer than the 439 that"),
                 log.constData());
    }
}

void TstPjlink::crowds()
{
    QFETCH(QString, port);
    QFETCH(int, fromOne);
    startCrowded();
    const bool http = port != u"pjlink";
    const quint16 number = crowdedPorts_[port];
    std::vector<std::unique_ptr<QTcpSocket>> held;
    const auto hold = [&held](quint16 to, int host) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(QHostAddress(u"127.0.0.%1"_s.arg(host)));
        held.back()->connectToHost(QHostAddress::LocalHost, to);
        return held.back()->waitForConnected(kTimeout);
    };
    for (int i = 0; i < fromOne; ++i)
        QVERIFY(hold(number, 1));
    QCOMPARE(probe(number, 1, http), "closed");
    QCOMPARE(probe(number, 2, http), "served");
}

void TstPjlink::outOfDescriptors()
{
    startCrowded();
    // More web connections than the daemon has descriptors for, within the caps.
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 180; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->bind(QHostAddress(u"127.0.0.%1"_s.arg(1 + i % 3)));
        held.back()->connectToHost(QHostAddress::LocalHost, crowdedPorts_[u"web"_s]);
    }
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += crowded_->readAllStandardError()).contains("run short"),
                             kTimeout);
    // It waits for descriptors without spinning: a second of real time takes little of its CPU.
    const auto cpuTicks = [this] {
        QFile stat(u"/proc/%1/stat"_s.arg(crowded_->processId()));
        const QList<QByteArray> fields =
            stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ') : QList<QByteArray>();
        return fields.size() > 15 ? fields[13].toLongLong() + fields[14].toLongLong() : -1;
    };
    const qint64 before = cpuTicks();
    QTest::qWait(1000);
    QVERIFY2(cpuTicks() - before < sysconf(_SC_CLK_TCK) / 4, "the daemon spins");
    held.clear();
    for (const QString &name : {u"pjlink"_s, u"web"_s, u"metrics"_s})
        QTRY_COMPARE_WITH_TIMEOUT(probe(crowdedPorts_[name], 2, name != u"pjlink"), "served",
                                  kTimeout);
}

QTEST_GUILESS_MAIN(TstPjlink)
#include "tst_pjlink.moc"
