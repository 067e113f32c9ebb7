// qv7-bridge as a process of its own between a real mosquitto and simulated projectors on
// pseudo-terminals, all on this machine: what it retains, what it sends, how it recovers.
// The payloads' vocabulary is the protocol library's; here is what the bridge adds to it.

#include "broker.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;
using qv7::sim::SimulatedProjector;
using qv7::sim::SimulatorServer;
using qv7::test::BridgeProcess;
using qv7::test::Broker;
using qv7::test::Line;
using qv7::test::startBridge;
using qv7::test::Watcher;

namespace {

// The slowest event waited for is a lost port tried again, 5 s after its loss.
constexpr int kTimeout = 10000;

// Waits until the last payload the watcher saw on the topic is the one given.
#define QTRY_PAYLOAD(watcher, topic, payload)                                                      \
    QTRY_COMPARE_WITH_TIMEOUT((watcher).last(u"" topic ""_s), QByteArray(payload), kTimeout)

QJsonObject json(const QByteArray &payload)
{
    return QJsonDocument::fromJson(payload).object();
}

} // namespace

class TstBridge : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void discovery_data();
    void discovery();
    void payloads_data();
    void payloads();
    void powerOnThenInput();
    void retainedCommandsAreNotRun();
    void brokerRestartWithNetworkProjector();
    void converterClosesIdleConnections();
    void linkStatesThenWill();
    void secondBridgeLeavesTheOwnersState();
    void sameClientIdDoesNotFight();
    void authentication_data();
    void authentication();
    void tls_data();
    void tls();
    void commandLine_data();
    void commandLine();

private:
    // The bridge on an inventory of the text; extra arguments after the broker's.
    std::unique_ptr<BridgeProcess> bridge(const Broker &broker, const QString &inventory,
                                          const QStringList &extra = {});
    QString path(const QString &name) const { return dir_.filePath(name); }

    QTemporaryDir dir_;
    std::unique_ptr<Broker> broker_;
    std::unique_ptr<Watcher> watcher_;
    // The projector the read-only cases share: in standby, 1234 lamp hours, upside down.
    std::unique_ptr<Line> hall_;
    std::unique_ptr<BridgeProcess> hallBridge_;
};

std::unique_ptr<BridgeProcess> TstBridge::bridge(const Broker &broker, const QString &inventory,
                                                 const QStringList &extra)
{
    return startBridge(dir_.path(), inventory, QStringList{u"--broker"_s, broker.url()} + extra);
}

void TstBridge::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    watcher_ = std::make_unique<Watcher>(*broker_);
    QTRY_VERIFY_WITH_TIMEOUT(watcher_->isConnected(), kTimeout);
    hall_ = std::make_unique<Line>(
        path(u"hall"_s), SimulatedProjector::Settings{.lampHours = 1234, .orientation = "10"});
    hallBridge_ = bridge(*broker_, u"[hall]\nport = %1\n"_s.arg(hall_->link), {u"--verbose"_s});
    QTRY_PAYLOAD(*watcher_, "qv7/hall/orientation", "top-bottom-reversed");
}

void TstBridge::cleanupTestCase()
{
    hallBridge_->terminate();
    QVERIFY(hallBridge_->waitForFinished());
    QCOMPARE(hallBridge_->exitCode(), 0);
    // A goodbye leaves the projector offline, as the will would.
    QTRY_PAYLOAD(*watcher_, "qv7/hall/availability", "offline");
}

void TstBridge::discovery_data()
{
    // Per entity, named COMPONENT/ENTITY: the state topic's leaf, and fields of its own.
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("fields");
    const auto row = [](const char *entity, const char *leaf, const char *fields) {
        QTest::newRow(entity) << QString::fromLatin1(leaf) << QByteArray(fields);
    };
    row("switch/power", "power", R"({"command_topic": "qv7/hall/power/set"})");
    row("select/input", "input",
        R"({"command_topic": "qv7/hall/input/set", "options": ["pc1", "pc2", "video"]})");
    row("sensor/power_state", "power",
        R"({"device_class": "enum", "options": ["on", "standby", "warming", "cooling", "fault"]})");
    row("sensor/lamp_hours", "lamp_hours",
        R"({"unit_of_measurement": "h", "state_class": "total_increasing",
            "entity_category": "diagnostic"})");
    row("sensor/orientation", "orientation", "{}");
    row("binary_sensor/link", "link", R"({"device_class": "connectivity"})");
    row("switch/video_mute", "video_mute",
        R"({"command_topic": "qv7/hall/command", "payload_on": "video-mute on", "state_on": "on"})");
    row("button/volume_up", "",
        R"({"command_topic": "qv7/hall/command", "payload_press": "volume up"})");
}

void TstBridge::discovery()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, fields);
    const QString tag = QString::fromLatin1(QTest::currentDataTag());
    const QString entity = tag.section(u'/', 1);

    const QString topic =
        u"homeassistant/%1/qv7_hall/%2/config"_s.arg(tag.section(u'/', 0, 0), entity);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher_->last(topic).isEmpty(), kTimeout);
    const QJsonObject config = json(watcher_->last(topic));
    QJsonObject expected = json(fields);
    expected.insert(u"unique_id"_s, u"qv7_hall_"_s + entity);
    if (!leaf.isEmpty())
        expected.insert(u"state_topic"_s, u"qv7/hall/"_s + leaf);
    expected.insert(u"availability_topic"_s, u"qv7/hall/availability"_s);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(config.value(it.key()), it.value());
    const QJsonObject device = config.value("device").toObject();
    QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"qv7_hall"});
    QCOMPARE(device.value("name").toString(), "hall");
    QVERIFY(!device.value("model").toString().isEmpty() && !config.value("name").isUndefined());

    // Home Assistant, started again, has forgotten it until the bridge says it again.
    watcher_->publish(topic, {}, true);
    QTRY_VERIFY(watcher_->last(topic).isEmpty());
    watcher_->publish(u"homeassistant/status"_s, "online");
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher_->last(topic)), config, kTimeout);
}

void TstBridge::payloads_data()
{
    // The reply's field holds the text: "status" for an answer, "error" for a refusal.
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    const auto row = [](const char *name, const char *leaf, const QByteArray &payload,
                        const char *field, const char *text) {
        QTest::newRow(name) << QString::fromLatin1(leaf) << payload << QString::fromLatin1(field)
                            << QString::fromLatin1(text);
    };
    row("raw code", "command", "CR3", "status", "1234 Hour Use");
    row("verb, spaces around", "command", " orientation \n", "status", "Top/Bottom reversal");
    row("power: no word", "power/set", "maybe", "error", "takes ON or OFF");
    // A retained message being cleared, as Home Assistant does: never a power off.
    row("power: empty", "power/set", {}, "error", "takes ON or OFF");
    row("input: unknown", "input/set", "hdmi", "error", "takes pc1, pc2 or video, not \"hdmi\"");
    row("input: control bytes", "input/set", "pc1\x1b", "error", "not plain text");
    row("command: unknown", "command", "fly", "error", "\"fly\" is no command");
    row("command: not UTF-8", "command", "\xff\xfe", "error", "not plain text");
    row("command: long", "command", QByteArray(4096, 'C'), "error", "4096 bytes");
    row("command: JSON with an id", "command", R"({"id": "r1", "command": "CR3"})", "status",
        "1234 Hour Use");
    row("command: JSON, no command", "command", R"({"id": "r1"})", "error", "a JSON payload is");
}

void TstBridge::payloads()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, payload);
    QFETCH(QString, field);
    QFETCH(QString, text);

    watcher_->forget(u"qv7/hall/reply"_s);
    watcher_->publish(u"qv7/hall/"_s + leaf, payload);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher_->last(u"qv7/hall/reply"_s).isEmpty(), kTimeout);
    const QJsonObject reply = json(watcher_->last(u"qv7/hall/reply"_s));
    QVERIFY2(reply.value(field).toString().contains(text),
             qPrintable(reply.value(field).toString()));
    if (field == "error"_L1)
        QCOMPARE(reply.value("topic").toString(), u"qv7/hall/"_s + leaf);
    else if (payload.contains("\"id\""))
        QCOMPARE(reply.value("id").toString(), u"r1"_s);
    QVERIFY(hall_->traffic.filter(QRegularExpression(u"^C[^R]"_s)).isEmpty()); // queries only
    QCOMPARE(watcher_->last(u"qv7/hall/power"_s), QByteArray("standby"));
}

void TstBridge::powerOnThenInput()
{
    // A lamp that runs a hundred hours a second.
    Line line(path(u"lab"_s), {.warmUp = std::chrono::seconds(3), .lampSpeedUp = 360000});
    const auto process = bridge(
        *broker_, u"[lab]\nport = %1\ntransition-poll = 1\nlamp-poll = 1\n"_s.arg(line.link));
    QTRY_PAYLOAD(*watcher_, "qv7/lab/power", "standby");

    // Words match in any case, as qv7ctl takes them.
    watcher_->publish(u"qv7/lab/power/set"_s, "on");
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher_->last(u"qv7/lab/reply"_s)).value("code").toString(),
                              u"C00"_s, kTimeout);
    QTRY_PAYLOAD(*watcher_, "qv7/lab/power", "warming");
    // Taken during the warm-up, sent once the projector is on.
    watcher_->publish(u"qv7/lab/input/set"_s, "Video");
    QTRY_PAYLOAD(*watcher_, "qv7/lab/input", "video");
    const qsizetype on = line.traffic.indexOf(u"=00"_s);
    QVERIFY(on > 0);
    QVERIFY2(line.traffic.indexOf(u"C07"_s) > on, "the input was selected before it was on");
    QTRY_VERIFY_WITH_TIMEOUT(watcher_->last(u"qv7/lab/lamp_hours"_s).toInt() > 0, kTimeout);

    // A script, as qv7ctl takes it: the held verb is held for two sends, not sent twice at once.
    watcher_->publish(u"qv7/lab/command"_s, "INPUT pc1 volume up 2");
    QTRY_PAYLOAD(*watcher_, "qv7/lab/input", "pc1");
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher_->last(u"qv7/lab/reply"_s)).value("command").toString(),
                              u"volume up 2"_s, kTimeout);
    QCOMPARE(line.traffic.count(u"C09"_s), 2);

    // A client that comes later is told the state as it is now: the bridge publishes a state
    // only when it changes, so these are the retained payloads.
    Watcher late(*broker_);
    QTRY_PAYLOAD(late, "qv7/lab/power", "on");
    QTRY_PAYLOAD(late, "qv7/lab/input", "pc1");
    QTRY_PAYLOAD(late, "qv7/lab/link", "up");
    QTRY_PAYLOAD(late, "qv7/lab/availability", "online");
    QVERIFY(late.last(u"qv7/lab/lamp_hours"_s).toInt() > 0);
}

void TstBridge::retainedCommandsAreNotRun()
{
    // Left retained on the broker, as a controller that publishes with the flag would leave them,
    // before the bridge starts: old messages, which no one is asking for now.
    const QStringList topics{u"qv7/kept/power/set"_s, u"qv7/kept/input/set"_s,
                             u"qv7/kept/command"_s};
    const QByteArray payloads[] = {"ON", "video", "volume up"};
    for (qsizetype i = 0; i < topics.size(); ++i) {
        watcher_->publish(topics[i], payloads[i], true);
        QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(topics[i]), payloads[i], kTimeout);
    }
    Line line(path(u"kept"_s));
    const auto process = bridge(*broker_, u"[kept]\nport = %1\n"_s.arg(line.link));
    QByteArray log;
    for (const QString &topic : topics)
        QTRY_VERIFY2_WITH_TIMEOUT((log += process->readAllStandardError())
                                      .contains((topic + u": a retained message"_s).toUtf8()),
                                  log.constData(), kTimeout);
    QVERIFY(log.contains("mosquitto_pub -r -n -t qv7/kept/power/set"));
    // A command published now is one, and runs after whatever the retained ones would have sent.
    watcher_->publish(u"qv7/kept/command"_s, R"({"command": "status", "id": "now"})");
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher_->last(u"qv7/kept/reply"_s)).value("id"), u"now"_s,
                              kTimeout);
    QVERIFY2(line.traffic.filter(QRegularExpression(u"^C[^R]"_s)).isEmpty(),
             qPrintable(line.traffic.join(u' ')));
    QCOMPARE(watcher_->last(u"qv7/kept/power"_s), QByteArray("standby"));
    log += process->readAllStandardError();
    QCOMPARE(log.count("a retained message"), 3);
    for (const QString &topic : topics)
        watcher_->publish(topic, {}, true);
}

void TstBridge::brokerRestartWithNetworkProjector()
{
    Broker broker;
    Watcher watcher(broker);
    // A projector behind a serial device server on loopback.
    SimulatorServer converter;
    QVERIFY(converter.listen(u"rfc2217://127.0.0.1:0"_s));
    const auto process = bridge(broker, u"[net]\nport = %1\n"_s.arg(converter.portName()));
    QTRY_PAYLOAD(watcher, "qv7/net/power", "standby");
    broker.stop();
    QTRY_VERIFY(!watcher.isConnected());
    watcher.forget();
    broker.start();
    // Nothing survives the broker but what the bridge publishes again.
    QTRY_PAYLOAD(watcher, "qv7/net/power", "standby");
    QCOMPARE(watcher.last(u"qv7/net/availability"_s), QByteArray("online"));
    QVERIFY(!watcher.last(u"homeassistant/switch/qv7_net/power/config"_s).isEmpty());
}

void TstBridge::converterClosesIdleConnections()
{
    // A serial device server that closes a connection after 2.5 s of quiet, as many do: the
    // daemon makes it again for whatever comes next, while the clients that asked come and go.
    SimulatorServer converter;
    QVERIFY(converter.listen(u"tcp://127.0.0.1:0"_s));
    QStringList sent;
    connect(&converter, &SimulatorServer::trafficLogged, this, [&sent](const QString &text) {
        if (text.section(u' ', 1, 1) == u"in")
            sent.append(text.section(u' ', 2).remove(u" CR"_s).remove(u' '));
    });
    const quint16 pjlink = qv7::test::freePort();
    const auto process = bridge(
        *broker_,
        u"[idle]\nport = %1\npjlink = 127.0.0.1:%2\n"_s.arg(converter.portName()).arg(pjlink));
    QTRY_PAYLOAD(*watcher_, "qv7/idle/power", "standby");
    const auto idleClose = [&converter] {
        // The real converter's quiet: long enough that a close is no answer going missing.
        QTest::qWait(2500);
        converter.dropClient();
    };
    for (int round = 0; round < 3; ++round) {
        idleClose();
        // A controller that asks and is gone before the answer.
        QTcpSocket hasty;
        QByteArray said;
        hasty.connectToHost(QHostAddress::LocalHost, pjlink);
        QTRY_VERIFY_WITH_TIMEOUT((said += hasty.readAll()).endsWith('\r'), kTimeout);
        hasty.write("%1POWR ?\r");
        hasty.disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(hasty.state(), QAbstractSocket::UnconnectedState, kTimeout);
        QTcpSocket patient;
        QByteArray answer;
        patient.connectToHost(QHostAddress::LocalHost, pjlink);
        QTRY_VERIFY_WITH_TIMEOUT((answer += patient.readAll()).endsWith('\r'), kTimeout);
        answer.clear();
        patient.write("%1POWR ?\r");
        QTRY_VERIFY_WITH_TIMEOUT((answer += patient.readAll()).endsWith('\r'), kTimeout);
        QCOMPARE(answer, QByteArray("%1POWR=0\r"));
    }
    // Two commands from the broker after an idle close both reach the line, in order.
    idleClose();
    sent.clear();
    watcher_->publish(u"qv7/idle/command"_s, "CR3");
    watcher_->publish(u"qv7/idle/command"_s, "CR1");
    QTRY_VERIFY_WITH_TIMEOUT(sent.contains(u"CR1"_s), kTimeout);
    QVERIFY2(sent.indexOf(u"CR3"_s) >= 0 && sent.indexOf(u"CR3"_s) < sent.indexOf(u"CR1"_s),
             qPrintable(sent.join(u' ')));
    QCOMPARE(process->state(), QProcess::Running);
}

void TstBridge::linkStatesThenWill()
{
    Line line(path(u"lost"_s));
    const auto process = bridge(*broker_, u"[lost]\nport = %1\npower-poll = 1\n"_s.arg(line.link));
    QTRY_PAYLOAD(*watcher_, "qv7/lost/link", "up");
    line.server.setFaults({.noAnswer = true});
    QTRY_PAYLOAD(*watcher_, "qv7/lost/link", "silent");
    line.server.setFaults({});
    QTRY_PAYLOAD(*watcher_, "qv7/lost/link", "up");
    // A command that waits for the projector to be on fails as the line goes, and says so.
    watcher_->publish(u"qv7/lost/command"_s, R"({"command": "volume up", "id": "queued"})");
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT((log += process->readAllStandardError()).contains("volume up waits"),
                             kTimeout);
    line.server.close();
    QTRY_PAYLOAD(*watcher_, "qv7/lost/link", "down");
    const auto reply = [&] { return json(watcher_->last(u"qv7/lost/reply"_s)); };
    QTRY_COMPARE_WITH_TIMEOUT(reply().value("id"), QJsonValue("queued"), kTimeout);
    QVERIFY(reply().value("error").toString().startsWith("not sent: the line is down ("_L1));
    // Nothing stale while the line is down, and a command fails at once, not after a minute.
    QTRY_PAYLOAD(*watcher_, "qv7/lost/availability", "offline");
    QCOMPARE(watcher_->last(u"qv7/lost/power"_s), QByteArray());
    watcher_->publish(u"qv7/lost/power/set"_s, "ON");
    QTRY_VERIFY_WITH_TIMEOUT(
        reply().value("error").toString().startsWith("not sent: the line is down ("_L1), kTimeout);
    line.open();
    QTRY_VERIFY2_WITH_TIMEOUT(watcher_->last(u"qv7/lost/link"_s) == "up",
                              (log += process->readAllStandardError()).constData(), kTimeout);
    QTRY_PAYLOAD(*watcher_, "qv7/lost/availability", "online");
    QTRY_PAYLOAD(*watcher_, "qv7/lost/power", "standby");
    // Killed, it says no goodbye: the broker publishes its will, retained for those who come
    // later.
    process->kill();
    QTRY_PAYLOAD(*watcher_, "qv7/lost/availability", "offline");
    const Watcher late(*broker_, {}, {}, u"qv7/lost/availability"_s);
    QTRY_PAYLOAD(late, "qv7/lost/availability", "offline");
}

void TstBridge::secondBridgeLeavesTheOwnersState()
{
    // A second bridge on the shared projector's line cannot own it: it says so and publishes
    // nothing, no link state and no last will over the owner's.
    const auto second = bridge(*broker_, u"[hall]\nport = %1\n"_s.arg(hall_->link));
    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += second->readAllStandardError()).contains("another program owns"), kTimeout);
    // Once: the attempt 5 s later finds the same holder, and says nothing new.
    QTest::qWait(6000);
    log += second->readAllStandardError();
    QCOMPARE(log.count("another program owns"), 1);
    second->kill();
    second->waitForFinished();
    // The broker handles a will at the close, which came before this marker.
    watcher_->publish(u"qv7-test/marker"_s, "after the kill");
    QTRY_PAYLOAD(*watcher_, "qv7-test/marker", "after the kill");
    QCOMPARE(watcher_->last(u"qv7/hall/link"_s), QByteArray("up"));
    QCOMPARE(watcher_->last(u"qv7/hall/availability"_s), QByteArray("online"));
}

void TstBridge::sameClientIdDoesNotFight()
{
    // Two bridges given one client id for their own "twin" projectors: the broker hands the id
    // from one to the other, and neither reconnects at once.
    Line a(path(u"twin-a"_s)), b(path(u"twin-b"_s));
    const QStringList id{u"--client-id"_s, u"site"_s};
    const auto first = bridge(*broker_, u"[twin]\nport = %1\n"_s.arg(a.link), id);
    const auto second = bridge(*broker_, u"[twin]\nport = %1\n"_s.arg(b.link), id);
    QByteArray log;
    QTRY_VERIFY2_WITH_TIMEOUT(
        (log += first->readAllStandardError())
            .contains("does another client use the client id site-twin, or did"),
        log.constData(), kTimeout);
    // At 1, 2, 4 s and so on, not every second.
    QTRY_VERIFY2_WITH_TIMEOUT(
        (log += first->readAllStandardError()).contains("trying again in 4 s"), log.constData(),
        3 * kTimeout);
}

void TstBridge::authentication_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::newRow("right password") << QByteArray("s3cret\n");
    QTest::newRow("wrong password") << QByteArray("guess\n");
}

void TstBridge::authentication()
{
    QFETCH(QByteArray, password);
    QTemporaryDir dir;
    // The broker reads its password file as the user it drops to.
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
    const QString passwords = dir.filePath(u"passwords"_s);
    const QStringList entry{u"-c"_s, u"-b"_s, passwords, u"bridge"_s, u"s3cret"_s};
    QCOMPARE(QProcess::execute(u"mosquitto_passwd"_s, entry), 0);
    QFile::setPermissions(passwords, QFile::permissions(passwords) | QFile::ReadOther);
    Broker broker({u"allow_anonymous false"_s, u"password_file "_s + passwords});
    Watcher watcher(broker, u"bridge"_s, u"s3cret"_s);
    QFile file(dir.filePath(u"secret"_s));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(password) == password.size());
    file.close();
    Line line(path(u"auth"_s));
    // As systemd hands it over: a credential, named by a relative path.
    qputenv("CREDENTIALS_DIRECTORY", dir.path().toUtf8());
    const auto process = bridge(broker, u"[auth]\nport = %1\n"_s.arg(line.link),
                                {u"--username"_s, u"bridge"_s, u"--password-file"_s, u"secret"_s});
    qunsetenv("CREDENTIALS_DIRECTORY");
    if (password.startsWith("s3cret")) {
        QTRY_PAYLOAD(watcher, "qv7/auth/availability", "online");
        return;
    }
    // Refused, it goes on trying.
    QByteArray log;
    QTRY_VERIFY2_WITH_TIMEOUT((log += process->readAllStandardError()).contains("not authorised"),
                              log.constData(), kTimeout);
    QVERIFY(watcher.isConnected() && watcher.last(u"qv7/auth/availability"_s).isEmpty());
    QCOMPARE(process->state(), QProcess::Running);
}

void TstBridge::tls_data()
{
    // The broker's certificate and the CA the bridge checks it against, whether the broker
    // asks for a client certificate and whether the bridge has one; what the bridge logs, or
    // "online" when it connects.
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("ca");
    QTest::addColumn<bool>("require");
    QTest::addColumn<bool>("clientCertificate");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("right CA") << u"server"_s << u"ca"_s << false << false << u"online"_s;
    QTest::newRow("client certificate") << u"server"_s << u"ca"_s << true << true << u"online"_s;
    QTest::newRow("wrong CA") << u"server"_s << u"bad"_s << false << false
                              << u"certificate verify failed"_s;
    QTest::newRow("another host's certificate")
        << u"other"_s << u"ca"_s << false << false << u"certificate verify failed"_s;
    QTest::newRow("no client certificate")
        << u"server"_s << u"ca"_s << true << false
        << u"does it require a client certificate? Give --cert and --key"_s;
    // No certificate: nothing listens for TLS.
    QTest::newRow("nothing listening")
        << QString() << u"ca"_s << false << false << u"the connection was refused or closed"_s;
}

void TstBridge::tls()
{
    QFETCH(QString, server);
    QFETCH(QString, ca);
    QFETCH(bool, require);
    QFETCH(bool, clientCertificate);
    QFETCH(QString, outcome);
    // A CA, certificates for this host, another host and a client, and a CA of no one's.
    QTemporaryDir dir;
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
    const char *script = R"(cd "$0" && set -e
        key="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        openssl req -x509 $key -keyout ca.key -out ca.crt -days 2 -subj /CN=ca
        openssl req -x509 $key -keyout bad.key -out bad.crt -days 2 -subj /CN=bad
        for n in server:IP:127.0.0.1 other:DNS:elsewhere.invalid client:DNS:client; do
            name=${n%%:*}; echo "subjectAltName=${n#*:}" > $name.ext
            openssl req $key -keyout $name.key -out $name.csr -subj /CN=$name
            openssl x509 -req -in $name.csr -CA ca.crt -CAkey ca.key -CAcreateserial \
                -days 2 -extfile $name.ext -out $name.crt
        done; chmod a+r *)";
    QProcess openssl;
    openssl.start(u"sh"_s, {u"-c"_s, QString::fromLatin1(script), dir.path()});
    QVERIFY2(openssl.waitForFinished() && openssl.exitCode() == 0,
             openssl.readAllStandardError().constData());
    const quint16 tlsPort = qv7::test::freePort();
    const auto file = [&](const QString &name) { return dir.filePath(name); };
    QStringList configuration{u"allow_anonymous true"_s, u"listener %1 127.0.0.1"_s.arg(tlsPort),
                              u"cafile "_s + file(u"ca.crt"_s),
                              u"certfile "_s + file(server + u".crt"_s),
                              u"keyfile "_s + file(server + u".key"_s)};
    if (require)
        configuration << u"require_certificate true"_s;
    if (server.isEmpty())
        configuration = configuration.first(1);
    Broker broker(configuration);
    Watcher watcher(broker); // on the broker's plain listener
    Line line(path(u"tls"_s));
    QStringList arguments{u"--broker"_s, u"mqtts://127.0.0.1:%1"_s.arg(tlsPort), u"--ca"_s,
                          file(ca + u".crt"_s)};
    if (clientCertificate)
        arguments << u"--cert"_s << file(u"client.crt"_s) << u"--key"_s << file(u"client.key"_s);
    const auto process =
        startBridge(dir_.path(), u"[tls]\nport = %1\n"_s.arg(line.link), arguments);
    if (outcome == "online"_L1) {
        QTRY_PAYLOAD(watcher, "qv7/tls/availability", "online");
        watcher.publish(u"qv7/tls/command"_s, "status");
        QTRY_COMPARE_WITH_TIMEOUT(json(watcher.last(u"qv7/tls/reply"_s)).value("status"),
                                  u"Stand by"_s, kTimeout);
        return;
    }
    // Refused with the reason, once, and never on plain MQTT; tried again with the back-off.
    QByteArray log;
    QTRY_VERIFY2_WITH_TIMEOUT((log += process->readAllStandardError()).contains(outcome.toUtf8()),
                              log.constData(), kTimeout);
    QTest::qWait(3500); // the attempts after 1 and 2 s
    log += process->readAllStandardError();
    QVERIFY2(log.count("broker mqtts://") <= 2, log.constData());
    QVERIFY(watcher.last(u"qv7/tls/availability"_s).isEmpty());
}

void TstBridge::commandLine_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("inventory");
    QTest::addColumn<QString>("error");
    const auto row = [](const char *name, const char *arguments, const char *error,
                        const char *inventory = "[a]\nport = /dev/null\n") {
        QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(inventory)
                            << QString::fromLatin1(error);
    };
    row("broker: other scheme", "--broker http://127.0.0.1:1883", "--broker is mqtt://");
    row("broker: password in it", "--broker mqtt://u:p@127.0.0.1", "--password-file");
    row("mqtts without --ca", "--broker mqtts://127.0.0.1", "needs --ca");
    row("--ca for mqtt", "--broker mqtt://127.0.0.1 --ca /etc/hostname", "--ca is for");
    row("password file missing", "--username u --password-file /nonexistent",
        "--password-file /nonexistent: cannot be read");
    row("password without user", "--password-file /etc/hostname", "needs --username");
    row("prefix with wildcard", "--topic-prefix qv7/#", "--topic-prefix is topic levels");
    row("client id with a blank", "--client-id a\tb", "--client-id is 1 to 40 letters");
    row("poll period zero", "", ".ini:3: power-poll is seconds from 1 to 86400, not 0",
        "[a]\nport = /dev/null\npower-poll = 0\n");
    // Home Assistant would take the second for the first.
    row("discovery ids the same", "",
        "[a.b] and [a_b] would have the same discovery id on the broker (qv7_a_b)",
        "[a.b]\nport = /dev/null\n[a_b]\nport = /dev/null\n");
    row("discovery ids the same but for case", "", "[Hall] and [hall] would have the same",
        "[Hall]\nport = /dev/null\n[hall]\nport = /dev/null\n");
}

void TstBridge::commandLine()
{
    QFETCH(QString, arguments);
    QFETCH(QString, inventory);
    QFETCH(QString, error);
    // A --broker of the row's comes last, and wins.
    const auto process = bridge(*broker_, inventory, arguments.split(u' ', Qt::SkipEmptyParts));
    QVERIFY(process->waitForFinished(kTimeout));
    const QString log = QString::fromUtf8(process->readAllStandardError());
    QCOMPARE(process->exitCode(), 64);
    QVERIFY2(log.contains(error), qPrintable(log));
}

QTEST_GUILESS_MAIN(TstBridge)
#include "tst_bridge.moc"
