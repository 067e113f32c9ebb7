// qv7-bridge's web pages as a browser and a hostile page see them, below the browser: real
// HTTP and WebSockets on loopback, a simulated projector on a pseudo-terminal, a real
// mosquitto beside them. What only a browser shows (scripts, layout, accessibility) is driven
// in Chromium by tests/web.

#include "bridge/loginthrottle.h"
#include "bridge/web/webface.h"
#include "broker.h"
#include "manualclock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <algorithm>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace qv7::test;

namespace {

constexpr int kTimeout = 10000;

struct Answer {
    int status = 0;
    QByteArray head;
    QByteArray body;

    QByteArray header(const QByteArray &name) const
    {
        const QRegularExpression line(u"(?im)^"_s + QString::fromLatin1(name) + u": ([^\r]*)"_s);
        return line.match(QString::fromLatin1(head)).captured(1).toLatin1();
    }
};

// One request on a connection of its own, read to its Content-Length.
Answer exchange(QTcpSocket &socket, const QByteArray &request)
{
    socket.write(request);
    QByteArray data;
    Answer answer;
    const bool whole = QTest::qWaitFor(
        [&] {
            data += socket.readAll();
            const qsizetype end = data.indexOf("\r\n\r\n");
            if (end < 0)
                return socket.state() == QAbstractSocket::UnconnectedState;
            answer.head = data.first(end);
            const qsizetype length = answer.header("Content-Length").toLongLong();
            return data.size() >= end + 4 + length ||
                   socket.state() == QAbstractSocket::UnconnectedState;
        },
        kTimeout);
    answer.status = whole ? data.mid(9, 3).toInt() : 0;
    answer.body = data.mid(answer.head.size() + 4);
    return answer;
}

Answer exchange(quint16 port, const QByteArray &request,
                const QHostAddress &from = QHostAddress::LocalHost)
{
    QTcpSocket socket;
    socket.bind(from);
    socket.connectToHost(QHostAddress::LocalHost, port);
    return exchange(socket, request);
}

// A process's resident memory in KiB.
qint64 residentKiB(qint64 pid)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = status.readAll();
    const qsizetype at = text.indexOf("VmRSS:") + 6;
    return text.mid(at, text.indexOf('\n', at) - at).trimmed().split(' ').first().toLongLong();
}

// A login from the daemon's own page.
QByteArray login(quint16 port, const QByteArray &password)
{
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    const QByteArray body = "password=" + password;
    return "POST /login HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// The web face in this process, without projectors, on a clock that the test moves.
struct FaceOnClock {
    FaceOnClock()
    {
        if (!face.listen())
            qFatal("the web face cannot listen: %s", qPrintable(face.errorString()));
    }

    ManualClock clock;
    qv7::bridge::WebFace face{{},
                              {.address = {u"127.0.0.1"_s, 0}, .password = "sesame", .tls = {}},
                              nullptr,
                              nullptr,
                              clock};
};

// A page's WebSocket, which keeps every message it is sent.
class Page : public QObject {
public:
    Page(quint16 port, const QString &path, const QString &origin, const QByteArray &cookie)
        : socket_(origin)
    {
        connect(&socket_, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            messages.append(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        QNetworkRequest request(QUrl(u"ws://127.0.0.1:%1%2"_s.arg(port).arg(path)));
        if (!cookie.isEmpty())
            request.setRawHeader("Cookie", cookie);
        socket_.open(request);
    }

    bool waitOpen()
    {
        return QTest::qWaitFor([this] { return opened() || closed(); }, kTimeout) && opened();
    }
    bool opened() const { return socket_.state() == QAbstractSocket::ConnectedState; }
    bool closed() const
    {
        return socket_.state() == QAbstractSocket::UnconnectedState &&
               !socket_.errorString().isEmpty();
    }
    void send(const QByteArray &json) { socket_.sendTextMessage(QString::fromUtf8(json)); }
    void sendBinary(const QByteArray &bytes) { socket_.sendBinaryMessage(bytes); }
    void abort() { socket_.abort(); }
    // The newest message of a type whose field has the text.
    bool saw(const QString &type, const QString &field, const QString &text) const
    {
        for (const QJsonObject &message : messages) {
            if (message.value(u"type"_s) == type && message.value(field).toString().contains(text))
                return true;
        }
        return false;
    }

    qsizetype count(const QString &type) const
    {
        return std::ranges::count_if(
            messages, [&](const QJsonObject &message) { return message.value(u"type"_s) == type; });
    }

    QList<QJsonObject> messages;

private:
    QWebSocket socket_;
};

} // namespace

class TstWeb : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void requests_data();
    void requests();
    void logIn_data();
    void logIn();
    void sessionEnds();
    void failedLoginsWaitLonger();
    void unreadAnswers();
    void guessesWaitTheirTurn();
    void guessersWithinBounds();
    void handshakes_data();
    void handshakes();
    void clickThenHold();
    void silentPageLetsGo_data();
    void silentPageLetsGo();
    void quietPagesAndEndedSessionsAreClosed();
    void rubbishOnTheSocket();
    void commandFromTheBroker();
    void lineHeldElsewhere();
    void hiddenPageGetsNoTraffic();
    void https();
    void commandLine_data();
    void commandLine();

private:
    QByteArray get(const QByteArray &path, const QByteArray &extra = {}) const;
    std::unique_ptr<Page> page(const QString &path = u"/projector/hall/socket"_s) const;
    int sent(const QString &code) const { return int(hall_->traffic.count(code)); }

    QTemporaryDir dir_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Watcher> watcher_;
    std::unique_ptr<Line> hall_;
    std::unique_ptr<BridgeProcess> bridge_;
    quint16 port_ = 0;
    QString origin_;
    QByteArray cookie_;
};

void TstWeb::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    watcher_ = std::make_unique<Watcher>(*broker_);
    hall_ = std::make_unique<Line>(dir_.filePath(u"hall"_s),
                                   qv7::sim::ProjectorSettings{.warmUp = std::chrono::seconds(1)});
    QFile password(dir_.filePath(u"web-password"_s));
    QVERIFY(password.open(QIODevice::WriteOnly) && password.write("sesame\n") == 7);
    password.close();
    port_ = freePort();
    origin_ = u"http://127.0.0.1:%1"_s.arg(port_);
    bridge_ = startBridge(dir_.path(), u"[hall]\nport = %1\n"_s.arg(hall_->link),
                          {u"--broker"_s, broker_->url(), u"--web"_s, QString::number(port_),
                           u"--web-password-file"_s, password.fileName()});
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/hall/power"_s), "standby", kTimeout);
    const Answer in = exchange(port_, login(port_, "sesame"));
    QCOMPARE(in.status, 303);
    cookie_ = in.header("Set-Cookie").split(';').first();
}

QByteArray TstWeb::get(const QByteArray &path, const QByteArray &extra) const
{
    return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port_) + "\r\n" +
           extra + "\r\n";
}

std::unique_ptr<Page> TstWeb::page(const QString &path) const
{
    return std::make_unique<Page>(port_, path, origin_, cookie_);
}

void TstWeb::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("withSession");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("contains"); // in the body, or the Location

    QTest::newRow("the list needs a login") << get("/") << false << 303 << u"/login"_s;
    QTest::newRow("the login form") << get("/login") << false << 200 << u"name=\"password\""_s;
    QTest::newRow("a script needs none") << get("/static/panel.js") << false << 200 << u"press"_s;
    QTest::newRow("the list") << get("/") << true << 200 << u"/projector/hall"_s;
    QTest::newRow("the window, named for assistive tools")
        << get("/projector/hall") << true << 200 << u"aria-label=\"VOL +\""_s;
    QTest::newRow("the window's layout")
        << get("/static/layout.css") << true << 200 << u"#Command17{"_s;
    QTest::newRow("an unknown projector")
        << get("/projector/attic") << true << 404 << u"No projector is named"_s;
    QTest::newRow("another host: DNS rebinding")
        << QByteArray("GET / HTTP/1.1\r\nHost: rebound.example:80\r\n\r\n") << true << 421
        << u"does not serve the host"_s;
    QTest::newRow("a method that changes nothing here")
        << QByteArray(get("/").replace("GET", "DELETE")) << true << 405 << u"GET"_s;
    QTest::newRow("a login from another site")
        << QByteArray(get("/login", "Origin: http://evil.example\r\nContent-Length: 0\r\n")
                          .replace("GET", "POST"))
        << false << 403 << u"own login page"_s;
    QTest::newRow("a logout with no Origin")
        << QByteArray(get("/logout", "Content-Length: 0\r\n").replace("GET", "POST")) << true << 403
        << u"own pages"_s;
    QTest::newRow("rubbish") << QByteArray("\x16\x03\x01\x02\x00\r\n\r\n", 9) << false << 400
                             << u"request line"_s;
    QTest::newRow("HTTP/2") << QByteArray("GET / HTTP/2.0\r\nHost: x\r\n\r\n") << false << 505
                            << u"HTTP/1.1"_s;
    QTest::newRow("a body too long")
        << get("/login", "Content-Length: 100000\r\n").replace("GET", "POST") << false << 413
        << u"longer than"_s;
    QTest::newRow("endless headers") << QByteArray(9000, 'x') << false << 431 << u"longer than"_s;
}

void TstWeb::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, withSession);
    QFETCH(int, status);
    QFETCH(QString, contains);
    if (withSession)
        request.replace("\r\n\r\n", "\r\nCookie: " + cookie_ + "\r\n\r\n");
    const Answer answer = exchange(port_, request);
    QCOMPARE(answer.status, status);
    QVERIFY2(QString::fromUtf8(answer.body + answer.header("Location")).contains(contains),
             answer.body.constData());
    // Every answer keeps a page to its own scripts and styles, and out of caches.
    QVERIFY(answer.header("Content-Security-Policy").contains("script-src 'self'"));
    QCOMPARE(answer.header("X-Content-Type-Options"), "nosniff");
    QCOMPARE(answer.header("Cache-Control"), "no-store");
}

void TstWeb::logIn_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<int>("status");
    QTest::newRow("right") << QByteArray("sesame") << 303;
    QTest::newRow("wrong") << QByteArray("open") << 403;
    QTest::newRow("none") << QByteArray() << 403;
}

void TstWeb::logIn()
{
    QFETCH(QByteArray, password);
    QFETCH(int, status);
    const Answer answer = exchange(port_, login(port_, password));
    QCOMPARE(answer.status, status);
    const QByteArray cookie = answer.header("Set-Cookie");
    if (status == 403) {
        QVERIFY(cookie.isEmpty());
        QVERIFY(answer.body.contains("wrong"));
        return;
    }
    QVERIFY2(QRegularExpression(u"^qv7session=[0-9a-f]{32}; Path=/; HttpOnly; SameSite=Strict$"_s)
                 .match(QString::fromLatin1(cookie))
                 .hasMatch(),
             cookie.constData());
    // The session opens the list; the logout ends it.
    const QByteArray session = cookie.split(';').first();
    QCOMPARE(exchange(port_, get("/", "Cookie: " + session + "\r\n")).status, 200);
    const Answer out =
        exchange(port_, get("/logout", "Cookie: " + session + "\r\nOrigin: " + origin_.toLatin1() +
                                           "\r\nContent-Length: 0\r\n")
                            .replace("GET", "POST"));
    QCOMPARE(out.status, 303);
    QVERIFY(out.header("Set-Cookie").contains("Max-Age=0"));
    QCOMPARE(exchange(port_, get("/", "Cookie: " + session + "\r\n")).status, 303);
}

void TstWeb::sessionEnds()
{
    FaceOnClock on;
    const quint16 port = on.face.port();
    const QByteArray session = exchange(port, login(port, "sesame")).header("Set-Cookie");
    const QByteArray list = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                            "\r\nCookie: " + session.split(';').first() + "\r\n\r\n";
    on.clock.advance(1h);
    QCOMPARE(exchange(port, list).status, 200);
    // A day later it is over.
    on.clock.advance(24h);
    QCOMPARE(exchange(port, list).status, 303);
}

void TstWeb::failedLoginsWaitLonger()
{
    // Each wrong password from an address is answered later than the one before it, on the
    // clock that moves only when the test moves it; the steps are coarse enough that a late
    // event loop cannot turn the order round.
    FaceOnClock on;
    const quint16 port = on.face.port();
    const auto waited = [&] {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(login(port, "open"));
        QByteArray answer;
        std::chrono::milliseconds time{0};
        while (!QTest::qWaitFor([&] { return (answer += socket.readAll()).startsWith("HTTP"); },
                                300) &&
               time < 1min) {
            on.clock.advance(500ms);
            time += 500ms;
        }
        return answer.startsWith("HTTP/1.1 403") ? time : -1ms;
    };
    const auto first = waited();
    const auto second = waited();
    const auto third = waited();
    QVERIFY(first > 0ms);
    QVERIFY2(first < second && second < third,
             qPrintable(u"answered after %1, %2, %3 ms"_s.arg(first.count())
                            .arg(second.count())
                            .arg(third.count())));
}

void TstWeb::unreadAnswers()
{
    // Requests for the largest file, 150 MiB of answers, pipelined on a connection that reads
    // none: the daemon keeps one answer for it at most, and drops it when it takes none.
    const Answer file = exchange(port_, get("/static/layout.css"));
    QCOMPARE(file.status, 200);
    const QByteArray requests =
        get("/static/layout.css").repeated((150 << 20) / (file.head.size() + file.body.size()));
    const qint64 pid = bridge_->processId();
    const qint64 before = residentKiB(pid);
    const int greedy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(port_);
    daemon.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(greedy, reinterpret_cast<const sockaddr *>(&daemon), sizeof daemon), 0);
    qsizetype sent = 0;
    qint64 most = before;
    const bool dropped = QTest::qWaitFor(
        [&] {
            most = std::max(most, residentKiB(pid));
            const ssize_t written =
                ::send(greedy, requests.constData() + sent, std::size_t(requests.size() - sent),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
            sent += std::max<ssize_t>(written, 0);
            pollfd state{greedy, 0, 0};
            return ::poll(&state, 1, 0) == 1 && (state.revents & (POLLERR | POLLHUP));
        },
        30000);
    ::close(greedy);
    QVERIFY(dropped);
    QVERIFY2(most - before < 48 * 1024,
             qPrintable(u"grew from %1 to %2 KiB"_s.arg(before).arg(most)));
    QCOMPARE(exchange(port_, get("/", "Cookie: " + cookie_ + "\r\n")).status, 200);
}

void TstWeb::guessesWaitTheirTurn()
{
    // After a wrong password, every login from that address is refused until the wrong one is
    // answered, the right password too; another address is not held up.
    FaceOnClock on;
    const quint16 port = on.face.port();
    QTcpSocket wrong;
    wrong.connectToHost(QHostAddress::LocalHost, port);
    wrong.write(login(port, "open"));
    Answer early;
    QTRY_COMPARE_WITH_TIMEOUT((early = exchange(port, login(port, "sesame"))).status, 429,
                              kTimeout);
    QCOMPARE(early.header("Retry-After"), "1");
    QVERIFY(early.header("Set-Cookie").isEmpty());
    QCOMPARE(exchange(port, login(port, "sesame"), QHostAddress(u"127.0.0.2"_s)).status, 303);
    on.clock.advance(1s);
    QByteArray late;
    QTRY_VERIFY_WITH_TIMEOUT((late += wrong.readAll()).startsWith("HTTP/1.1 403"), kTimeout);
    QCOMPARE(exchange(port, login(port, "sesame")).status, 303);
}

void TstWeb::guessersWithinBounds()
{
    // The throttle itself: the daemon cannot be driven from thousands of addresses.
    ManualClock clock;
    qv7::bridge::LoginThrottle throttle(clock);
    const QHostAddress guesser(u"2001:db8::1"_s);
    int bursts = 0;
    for (int i = 0; i < 7; ++i) {
        clock.advance(throttle.wait(guesser));
        bursts += throttle.failed(guesser).first;
    }
    QCOMPARE(bursts, 1); // one line in the log
    // Its /64 waits as one; another does not, nor does IPv4 but as itself, mapped or not.
    QCOMPARE(throttle.wait(QHostAddress(u"2001:db8::ffff"_s)), 30s);
    QCOMPARE(throttle.wait(QHostAddress(u"2001:db8:0:1::1"_s)), 0ms);
    throttle.failed(QHostAddress(u"::ffff:127.0.0.9"_s));
    QCOMPARE(throttle.wait(QHostAddress(u"127.0.0.9"_s)), 1s);
    // A flood of addresses that fail once each, later than the guesser, grows nothing and frees
    // no guesser.
    const quint32 flood = 3 * quint32(qv7::bridge::LoginThrottle::kMostPeers);
    for (quint32 i = 1; i <= flood; ++i) {
        clock.advance(1ms);
        throttle.failed(QHostAddress(0x7f000000 + i));
    }
    QCOMPARE(throttle.size(), qv7::bridge::LoginThrottle::kMostPeers);
    QVERIFY(throttle.wait(guesser) > 0ms);
    QCOMPARE(throttle.wait(QHostAddress(0x7f000000 + flood)), 1s);
    // Ten minutes without a failure, on the clock, and it starts again.
    clock.advance(10min);
    QCOMPARE(throttle.wait(guesser), 0ms);
    QCOMPARE(throttle.failed(guesser).wait, 1s);
}

void TstWeb::handshakes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("ownOrigin");
    QTest::addColumn<bool>("withSession");
    QTest::addColumn<bool>("opens");

    QTest::newRow("the window's") << u"/projector/hall/socket"_s << true << true << true;
    QTest::newRow("the list's") << u"/socket"_s << true << true << true;
    QTest::newRow("from another site") << u"/projector/hall/socket"_s << false << true << false;
    QTest::newRow("with no session") << u"/projector/hall/socket"_s << true << false << false;
    QTest::newRow("of no projector") << u"/projector/attic/socket"_s << true << true << false;
}

void TstWeb::handshakes()
{
    QFETCH(QString, path);
    QFETCH(bool, ownOrigin);
    QFETCH(bool, withSession);
    QFETCH(bool, opens);
    Page socket(port_, path, ownOrigin ? origin_ : u"http://evil.example"_s,
                withSession ? cookie_ : QByteArray());
    QCOMPARE(socket.waitOpen(), opens);
    if (!opens)
        return;
    // A snapshot first.
    QTRY_VERIFY_WITH_TIMEOUT(socket.saw(u"projector"_s, u"power"_s, u"standby"_s), kTimeout);
}

void TstWeb::clickThenHold()
{
    const auto window = page();
    QVERIFY(window->waitOpen());
    window->send(R"({"click": "Command44"})");
    QTRY_VERIFY_WITH_TIMEOUT(window->saw(u"traffic"_s, u"status"_s, u"Stand by"_s), kTimeout);
    // Held buttons need the projector on.
    window->send(R"({"press": "Command1"})");
    QTRY_VERIFY_WITH_TIMEOUT(window->saw(u"notSent"_s, u"message"_s, u"standby"_s), kTimeout);
    window->send(R"({"click": "Command17"})");
    QTRY_VERIFY_WITH_TIMEOUT(window->saw(u"projector"_s, u"power"_s, u"on"_s), kTimeout);

    const int before = sent(u"C09"_s);
    window->send(R"({"press": "Command1"})");
    QTRY_VERIFY_WITH_TIMEOUT(sent(u"C09"_s) >= before + 3, kTimeout);
    window->send(R"({"release": "Command1"})");
    QTest::qWait(300);
    const int released = sent(u"C09"_s);
    QTest::qWait(1000); // four of the hold's periods
    QCOMPARE(sent(u"C09"_s), released);
}

void TstWeb::silentPageLetsGo_data()
{
    QTest::addColumn<bool>("disconnects");
    QTest::newRow("a page that goes silent") << false;
    QTest::newRow("a page whose connection drops") << true;
}

void TstWeb::silentPageLetsGo()
{
    QFETCH(bool, disconnects);
    const auto window = page();
    QVERIFY(window->waitOpen());
    window->send(R"({"click": "Command17"})");
    QTRY_VERIFY_WITH_TIMEOUT(window->saw(u"projector"_s, u"power"_s, u"on"_s), kTimeout);
    const int before = sent(u"C0A"_s);
    window->send(R"({"press": "Command2"})");
    QTRY_VERIFY_WITH_TIMEOUT(sent(u"C0A"_s) >= before + 2, kTimeout);
    if (disconnects)
        window->abort();
    // No word from the page: the daemon lets the button go within a second.
    int last = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            const int now = sent(u"C0A"_s);
            QTest::qWait(600);
            return std::exchange(last, now) == now;
        },
        kTimeout));
    QTest::qWait(600);
    QCOMPARE(sent(u"C0A"_s), last);
}

void TstWeb::quietPagesAndEndedSessionsAreClosed()
{
    FaceOnClock on;
    const quint16 port = on.face.port();
    const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
    const QByteArray cookie =
        exchange(port, login(port, "sesame")).header("Set-Cookie").split(';').first();
    Page talking(port, u"/socket"_s, u"http://"_s + QString::fromLatin1(host), cookie);
    QVERIFY(talking.waitOpen());
    // A phone that left the network: its handshake made, then not a word, not even a pong.
    QTcpSocket quiet;
    quiet.connectToHost(QHostAddress::LocalHost, port);
    quiet.write("GET /socket HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
                "\r\nCookie: " + cookie +
                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13"
                "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
    QByteArray handshake;
    QTRY_VERIFY_WITH_TIMEOUT((handshake += quiet.readAll()).startsWith("HTTP/1.1 101"), kTimeout);
    for (int step = 0; step < 4; ++step) {
        on.clock.advance(qv7::bridge::PageSocket::kPingInterval);
        const auto answered = talking.count(u"error"_s);
        talking.send(R"({"alive": ""})");
        QTRY_COMPARE_WITH_TIMEOUT(talking.count(u"error"_s), answered + 1, kTimeout);
    }
    QTRY_COMPARE_WITH_TIMEOUT(quiet.state(), QAbstractSocket::UnconnectedState, kTimeout);
    QVERIFY(talking.opened());
    // Its session, the oldest, makes room for newer ones: the page goes with it.
    on.clock.advance(1s);
    for (int session = 0; session < 256; ++session)
        QCOMPARE(exchange(port, login(port, "sesame")).status, 303);
    QTRY_VERIFY_WITH_TIMEOUT(!talking.opened(), kTimeout);
}

void TstWeb::rubbishOnTheSocket()
{
    const auto rude = page();
    const auto polite = page();
    QVERIFY(rude->waitOpen() && polite->waitOpen());
    for (const QByteArray &message :
         {QByteArray("not JSON"), QByteArray(R"({"click": "Command1"})"),
          QByteArray(R"({"press": "Nope"})"), QByteArray(R"({"click": 1, "press": 2})"),
          QByteArray(R"(["click"])")}) {
        const qsizetype errors = rude->messages.size();
        rude->send(message);
        QTRY_VERIFY_WITH_TIMEOUT(rude->messages.size() > errors, kTimeout);
        QCOMPARE(rude->messages.last().value(u"type"_s), u"error"_s);
    }
    rude->sendBinary("\x00\x01");
    QTRY_VERIFY_WITH_TIMEOUT(rude->messages.last().value(u"type"_s) == u"error"_s, kTimeout);
    // A message past the limit closes that socket only.
    rude->send(QByteArray(4096, ' '));
    QTRY_VERIFY_WITH_TIMEOUT(!rude->opened(), kTimeout);
    const int before = sent(u"CR0"_s);
    polite->send(R"({"click": "Command44"})");
    QTRY_VERIFY_WITH_TIMEOUT(sent(u"CR0"_s) > before, kTimeout);
}

void TstWeb::commandFromTheBroker()
{
    const auto window = page();
    QVERIFY(window->waitOpen());
    watcher_->publish(u"qv7/hall/command"_s, "lamp-hours");
    QTRY_VERIFY_WITH_TIMEOUT(window->saw(u"traffic"_s, u"txd"_s, u"C R 3"_s), kTimeout);
}

void TstWeb::lineHeldElsewhere()
{
    // A second daemon on the hall's line, with no password on loopback: its page says that the
    // line is down because another program holds it, rather than a bare "down".
    QTemporaryDir folder;
    const quint16 port = freePort();
    const auto second = startBridge(folder.path(), u"[hall]\nport = %1\n"_s.arg(hall_->link),
                                    {u"--web"_s, QString::number(port)});
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += second->readAllStandardError()).contains("another program owns"), kTimeout);
    Page window(port, u"/projector/hall/socket"_s, u"http://127.0.0.1:%1"_s.arg(port), {});
    QVERIFY(window.waitOpen());
    QTRY_VERIFY_WITH_TIMEOUT(
        window.saw(u"projector"_s, u"reason"_s, u"in use by another program"_s), kTimeout);
    for (const QJsonObject &message : std::as_const(window.messages)) {
        if (message.value(u"type"_s) == u"projector"_s)
            QCOMPARE(message.value(u"link"_s).toString(), u"down"_s);
    }
}

void TstWeb::hiddenPageGetsNoTraffic()
{
    // A page in the background is sent no traffic, and the texts as they are when it is back;
    // a page in front beside it shows when the line has carried a command. A bad message
    // after each change of visibility marks where the daemon has read it.
    const auto hidden = page();
    const auto shown = page();
    QVERIFY(hidden->waitOpen() && shown->waitOpen());
    const auto mark = [&hidden](int errors) {
        hidden->send(R"({"visible": "no"})");
        return QTest::qWaitFor([&] { return hidden->count(u"error"_s) == errors; }, kTimeout);
    };
    hidden->send(R"({"visible": false})");
    QVERIFY(mark(1));
    QVERIFY(hidden->saw(u"error"_s, u"message"_s, u"visible is true or false"_s));
    const qsizetype before = hidden->count(u"traffic"_s);
    const qsizetype shownBefore = shown->messages.size();
    watcher_->publish(u"qv7/hall/command"_s, "lamp-hours");
    QTRY_VERIFY_WITH_TIMEOUT(
        std::any_of(shown->messages.cbegin() + shownBefore, shown->messages.cend(),
                    [](const QJsonObject &message) {
                        return message.value(u"txd"_s).toString().contains(u"C R 3"_s);
                    }),
        kTimeout);
    hidden->send(R"({"visible": true})");
    QVERIFY(mark(2));
    QCOMPARE(hidden->count(u"traffic"_s), before + 1);
    QVERIFY(hidden->saw(u"traffic"_s, u"txd"_s, u"C R 3"_s));
}

void TstWeb::https()
{
    QProcess openssl;
    openssl.setWorkingDirectory(dir_.path());
    openssl.start(u"openssl"_s,
                  {u"req"_s, u"-x509"_s, u"-newkey"_s, u"ec"_s, u"-pkeyopt"_s,
                   u"ec_paramgen_curve:prime256v1"_s, u"-nodes"_s, u"-keyout"_s, u"key.pem"_s,
                   u"-out"_s, u"cert.pem"_s, u"-days"_s, u"1"_s, u"-subj"_s, u"/CN=localhost"_s});
    QVERIFY(openssl.waitForFinished(kTimeout) && openssl.exitCode() == 0);
    Line stage(dir_.filePath(u"stage"_s));
    const quint16 port = freePort();
    // Taken, as it always was, but not without a word.
    const QString password = dir_.filePath(u"web-password"_s);
    QVERIFY(QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner |
                                                QFile::ReadGroup | QFile::ReadOther));
    const auto bridge =
        startBridge(dir_.path(), u"[stage]\nport = %1\n"_s.arg(stage.link),
                    {u"--web"_s, QString::number(port), u"--web-cert"_s,
                     dir_.filePath(u"cert.pem"_s), u"--web-key"_s, dir_.filePath(u"key.pem"_s),
                     u"--web-password-file"_s, dir_.filePath(u"web-password"_s)});
    QSslSocket socket;
    QVERIFY(QTest::qWaitFor(
        [&] {
            socket.abort();
            socket.setPeerVerifyMode(QSslSocket::VerifyNone);
            socket.connectToHostEncrypted(u"127.0.0.1"_s, port);
            return socket.waitForEncrypted(1000);
        },
        kTimeout));
    const QByteArray body = "password=sesame";
    const Answer answer =
        exchange(socket, "POST /login HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                             "\r\nOrigin: https://127.0.0.1:" + QByteArray::number(port) +
                             "\r\nContent-Length: 15\r\n\r\n" + body);
    QCOMPARE(answer.status, 303);
    QVERIFY(answer.header("Set-Cookie").endsWith("; Secure"));
    const QString log = QString::fromUtf8(bridge->readAllStandardError());
    QVERIFY2(log.contains(u"--web-password-file %1: every user of this machine may read it "
                          "(mode 0644)"_s.arg(password)),
             qPrintable(log));
}

void TstWeb::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");

    QTest::newRow("the network with no password")
        << QStringList{u"--web"_s, u"0.0.0.0:8080"_s} << u"--web-password-file"_s;
    QTest::newRow("a certificate without its key")
        << QStringList{u"--web"_s, u"8080"_s, u"--web-cert"_s, u"cert.pem"_s} << u"go together"_s;
    QTest::newRow("a key that is no key")
        << QStringList{u"--web"_s,    u"8080"_s,      u"--web-cert"_s,
                       u"cert.pem"_s, u"--web-key"_s, u"cert.pem"_s}
        << u"--web-key"_s;
    QTest::newRow("a password without pages")
        << QStringList{u"--metrics"_s, u"9752"_s, u"--web-password-file"_s, u"web-password"_s}
        << u"give --web PORT"_s;
    QTest::newRow("a host name") << QStringList{u"--web"_s, u"example:8080"_s}
                                 << u"PORT or ADDRESS:PORT"_s;
}

void TstWeb::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    if (!QFile::exists(dir_.filePath(u"cert.pem"_s)))
        QSKIP("https() makes the certificate");
    for (QString &argument : arguments) {
        if (QFile::exists(dir_.filePath(argument)))
            argument = dir_.filePath(argument);
    }
    Line stage(dir_.filePath(u"stage"_s));
    const auto bridge =
        startBridge(dir_.path(), u"[stage]\nport = %1\n"_s.arg(stage.link), arguments);
    QVERIFY(bridge->waitForFinished(kTimeout));
    QCOMPARE(bridge->exitCode(), 64);
    const QString message = QString::fromUtf8(bridge->readAllStandardError());
    QVERIFY2(message.contains(error), qPrintable(message));
}

QTEST_MAIN(TstWeb)
#include "tst_web.moc"
