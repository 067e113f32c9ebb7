// A venue of two hosts on one broker, each a qv7-bridge process of its own for its lines: the
// list on one shows the other's projectors, in their groups, live, and a host that dies shows
// offline and comes back; a page on one drives the other's projector, whose owner lets a hold
// go when the page's host dies mid-hold.

#include "broker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using namespace qv7::test;

namespace {

constexpr int kTimeout = 20000;

// A page's WebSocket, the list's or a projector's: the latest message about each projector,
// and of each other type.
class ListPage : public QObject {
public:
    explicit ListPage(quint16 port, const QString &path = u"/socket"_s)
        : socket_(u"http://127.0.0.1:%1"_s.arg(port))
    {
        connect(&socket_, &QWebSocket::textMessageReceived, this, [this](const QString &text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            const QString type = message.value(u"type"_s).toString();
            const QString name = message.value(u"name"_s).toString();
            latest[type == u"projector"_s ? name
                   : type == u"outcome"_s ? type + name
                                          : type] = message;
            if (type == u"traffic"_s)
                txd << message.value(u"txd"_s).toString();
        });
        socket_.open(QUrl(u"ws://127.0.0.1:%1%2"_s.arg(port).arg(path)));
    }
    void send(const QByteArray &json) { socket_.sendTextMessage(QString::fromUtf8(json)); }
    QString field(const QString &projector, const QString &name) const
    {
        return latest.value(projector).value(name).toVariant().toString();
    }
    QHash<QString, QJsonObject> latest;
    QStringList txd; // every TXD line shown

private:
    QWebSocket socket_;
};

} // namespace

class TstVenue : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void otherHostsListed_data();
    void otherHostsListed();
    void hostGoneAndBack();
    void hostNames_data();
    void hostNames();
    void remotePage();
    void groupAction();
    void remoteHoldOutlivesNoPage();

private:
    std::unique_ptr<BridgeProcess> startEast();
    std::unique_ptr<BridgeProcess> startWest();

    QTemporaryDir dir_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Watcher> watcher_;
    std::unique_ptr<Line> east_;
    std::unique_ptr<Line> west1_;
    std::unique_ptr<Line> west2_;
    QString westLog_; // before the processes, which write to it until they have ended
    std::unique_ptr<BridgeProcess> eastBridge_;
    std::unique_ptr<BridgeProcess> westBridge_;
    quint16 web_ = 0;
};

std::unique_ptr<BridgeProcess> TstVenue::startWest()
{
    auto process = startBridge(
        dir_.path(),
        u"[w1]\nport = %1\ngroup = Hall\n[w2]\nport = %2\n"_s.arg(west1_->link, west2_->link),
        {u"--broker"_s, broker_->url(), u"--host-name"_s, u"west"_s});
    connect(process.get(), &QProcess::readyReadStandardError, this,
            [this, west = process.get()] { westLog_ += west->readAllStandardError(); });
    return process;
}

std::unique_ptr<BridgeProcess> TstVenue::startEast()
{
    return startBridge(dir_.path(), u"[e1]\nport = %1\ngroup = Hall\n"_s.arg(east_->link),
                       {u"--broker"_s, broker_->url(), u"--host-name"_s, u"east"_s, u"--web"_s,
                        QString::number(web_)});
}

void TstVenue::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    east_ = std::make_unique<Line>(dir_.filePath(u"east"_s));
    west1_ =
        std::make_unique<Line>(dir_.filePath(u"west1"_s),
                               qv7::sim::ProjectorSettings{.warmUp = 200ms, .coolDown = 2000ms});
    west2_ = std::make_unique<Line>(dir_.filePath(u"west2"_s));
    web_ = freePort();
    eastBridge_ = startEast();
    westBridge_ = startWest();
    // Both daemons are up, and so east's web pages listen, once each has published.
    watcher_ = std::make_unique<Watcher>(*broker_, QString(), QString(), u"qv7/+/availability"_s);
    for (const QString &projector : {u"e1"_s, u"w1"_s, u"w2"_s})
        QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(u"qv7/%1/availability"_s.arg(projector)), "online",
                                  kTimeout);
}

void TstVenue::otherHostsListed_data()
{
    QTest::addColumn<QString>("projector");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("group");
    QTest::newRow("its own") << u"e1"_s << u"east"_s << u"Hall"_s;
    QTest::newRow("another host's, in a group") << u"w1"_s << u"west"_s << u"Hall"_s;
    QTest::newRow("another host's, in none") << u"w2"_s << u"west"_s << QString();
}

void TstVenue::otherHostsListed()
{
    QFETCH(QString, projector);
    QFETCH(QString, host);
    QFETCH(QString, group);
    ListPage page(web_);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(projector, u"power"_s), u"standby"_s, kTimeout);
    QCOMPARE(page.field(projector, u"host"_s), host);
    QCOMPARE(page.field(projector, u"group"_s), group);
    QCOMPARE(page.field(projector, u"hostOnline"_s), u"true"_s);
    QCOMPARE(page.field(projector, u"link"_s), u"up"_s);
}

void TstVenue::hostGoneAndBack()
{
    ListPage page(web_);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"standby"_s, kTimeout);
    // Killed without a goodbye: the broker publishes its wills.
    westBridge_->kill();
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"hostOnline"_s), u"false"_s, kTimeout);
    QCOMPARE(page.field(u"w1"_s, u"link"_s), u"host offline"_s);
    QCOMPARE(page.field(u"w1"_s, u"power"_s), QString());
    QCOMPARE(page.field(u"e1"_s, u"power"_s), u"standby"_s);
    westBridge_ = startWest();
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w2"_s, u"hostOnline"_s), u"true"_s, kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w2"_s, u"power"_s), u"standby"_s, kTimeout);
}

void TstVenue::hostNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a topic separator") << u"a/b"_s;
    QTest::newRow("a wildcard") << u"a+"_s;
    QTest::newRow("empty") << QString();
}

void TstVenue::hostNames()
{
    QFETCH(QString, name);
    const auto process = startBridge(dir_.path(), u"[x]\nport = /dev/null\n"_s,
                                     {u"--broker"_s, broker_->url(), u"--host-name"_s, name});
    QVERIFY(process->waitForFinished(kTimeout));
    QCOMPARE(process->exitCode(), 64);
    QVERIFY(process->readAllStandardError().contains("--host-name is 1 to 64 letters"));
}

void TstVenue::remotePage()
{
    // West's projector on east's page: its state, a click on west's line, its traffic back.
    ListPage page(web_, u"/projector/w1/socket"_s);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"standby"_s, kTimeout);
    page.send(R"({"click": "Command17"})");
    QTRY_VERIFY_WITH_TIMEOUT(west1_->traffic.contains(u"C00"_s), kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"on"_s, kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(!page.txd.filter(u"C 0 0"_s).isEmpty(), kTimeout);
    QCOMPARE(west1_->traffic.count(u"C00"_s), 1);
    // Logged by its owner, once, with where it came from.
    QTRY_VERIFY_WITH_TIMEOUT(
        westLog_.contains(u"w1: sent C00 (power on) for web page 127.0.0.1:"_s), kTimeout);
    QVERIFY(westLog_.contains(u" on east through the broker"_s));
    // A button that is none of the panel's.
    page.send(R"({"click": "Command99"})");
    QTRY_VERIFY_WITH_TIMEOUT(!page.field(u"error"_s, u"message"_s).isEmpty(), kTimeout);
}

void TstVenue::groupAction()
{
    // Hall: e1 here in standby, and w1 on west, which the page before switched on.
    ListPage page(web_);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"on"_s, kTimeout);
    page.send(R"({"group": "Hall", "power": "off"})");
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"outcomew1"_s, u"outcome"_s), u"sent"_s, kTimeout);
    QCOMPARE(page.field(u"outcomee1"_s, u"outcome"_s), u"already off"_s);
    QVERIFY(!page.latest.contains(u"outcomew2"_s));
    QTRY_VERIFY_WITH_TIMEOUT(west1_->traffic.contains(u"C02"_s), kTimeout);
    QTRY_VERIFY_WITH_TIMEOUT(
        westLog_.contains(u"w1: sent C02 (power off) for group action Hall off from web page "_s),
        kTimeout);
    // Cooling down: switched on again, it says so rather than failing silently.
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"cooling"_s, kTimeout);
    page.send(R"({"group": "Hall", "power": "on"})");
    QTRY_VERIFY_WITH_TIMEOUT(
        page.field(u"outcomew1"_s, u"outcome"_s).startsWith(u"not sent: it is cooling down"_s),
        kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"outcomee1"_s, u"outcome"_s), u"sent"_s, kTimeout);
}

void TstVenue::remoteHoldOutlivesNoPage()
{
    ListPage page(web_, u"/projector/w1/socket"_s);
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"standby"_s, kTimeout);
    page.send(R"({"click": "Command17"})");
    QTRY_COMPARE_WITH_TIMEOUT(page.field(u"w1"_s, u"power"_s), u"on"_s, kTimeout);
    // The page says it still holds the button, as a browser's does.
    page.send(R"({"press": "Command1"})");
    QTimer alive;
    connect(&alive, &QTimer::timeout, &page, [&page] { page.send(R"({"alive": true})"); });
    alive.start(250);
    QTRY_VERIFY_WITH_TIMEOUT(west1_->traffic.count(u"C09"_s) >= 3, kTimeout);
    // East dies mid-hold: west lets the hold go by itself.
    eastBridge_->kill();
    QTRY_VERIFY_WITH_TIMEOUT(westLog_.contains(u"a hold from another host let go"_s), kTimeout);
    const qsizetype sent = west1_->traffic.count(u"C09"_s);
    QTest::qWait(1000);
    QCOMPARE(west1_->traffic.count(u"C09"_s), sent);
    eastBridge_ = startEast();
}

QTEST_MAIN(TstVenue)
#include "tst_venue.moc"
