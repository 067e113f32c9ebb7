// qv7-bridge as a process of its own between a real mosquitto and simulated projectors on
// pseudo-terminals, all on this machine: what it retains, what it sends, how it recovers.

#include "broker.h"
#include "sim/server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using qv7::sim::Projector;
using qv7::sim::SimulatorServer;
using qv7::test::Broker;
using qv7::test::Watcher;

namespace {

constexpr int kTimeout = 20000;

// A simulated projector on a pseudo-terminal reached through a link of its own, so that it
// can go away and come back at the same path; every line it logs is kept.
struct Line {
    explicit Line(const QString &linkPath, const Projector::Settings &settings = {})
        : link(linkPath)
        , server(settings)
    {
        QObject::connect(&server, &SimulatorServer::trafficLogged, &server,
                         [this](const QString &text) { traffic.append(text); });
        open();
    }
    void open()
    {
        if (!server.openPseudoTerminal(link))
            qFatal("no simulator: %s", qPrintable(server.errorString()));
    }
    // The commands it took, as rendered ("C 0 0"), in order.
    QStringList commands() const
    {
        QStringList taken;
        for (const QString &text : traffic) {
            if (text.contains(QLatin1StringView(" in  ")))
                taken.append(
                    text.section(QStringLiteral(" in  "), 1).remove(QStringLiteral(" CR")));
        }
        return taken;
    }
    bool tookOperation() const
    {
        return std::ranges::any_of(commands(),
                                   [](const QString &c) { return !c.startsWith(u"C R"); });
    }

    QString link;
    SimulatorServer server;
    QStringList traffic;
};

// The bridge as a service manager runs it, stopped as one stops it.
class BridgeProcess : public QProcess {
public:
    ~BridgeProcess() override
    {
        terminate();
        waitForFinished();
    }
};

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
    void stateAfterStart();
    void discovery_data();
    void discovery();
    void queries_data();
    void queries();
    void badPayloads_data();
    void badPayloads();
    void powerOnThenInput();
    void lastWill();
    void brokerRestart();
    void lineLostAndBack();
    void silentProjector();
    void networkProjector();
    void authentication_data();
    void authentication();
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
    static int files = 0;
    QFile file(path(QStringLiteral("inventory-%1.ini").arg(++files)));
    if (!file.open(QIODevice::WriteOnly) || file.write(inventory.toUtf8()) < 0)
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.close();
    auto process = std::make_unique<BridgeProcess>();
    process->start(QStringLiteral(QV7BRIDGE),
                   QStringList{QStringLiteral("--inventory"), file.fileName(),
                               QStringLiteral("--broker"), broker.url()} +
                       extra);
    return process;
}

void TstBridge::initTestCase()
{
    broker_ = std::make_unique<Broker>();
    watcher_ = std::make_unique<Watcher>(*broker_);
    QTRY_VERIFY_WITH_TIMEOUT(watcher_->isConnected(), kTimeout);
    Projector::Settings settings;
    settings.lampHours = 1234;
    settings.orientation = "10";
    hall_ = std::make_unique<Line>(path(QStringLiteral("hall")), settings);
    hallBridge_ = bridge(*broker_, QStringLiteral("[hall]\nport = %1\n").arg(hall_->link),
                         {QStringLiteral("--verbose")});
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/hall/orientation")),
                              QByteArray("Top/Bottom reversal"), kTimeout);
}

void TstBridge::cleanupTestCase()
{
    hallBridge_->terminate();
    QVERIFY(hallBridge_->waitForFinished());
    QCOMPARE(hallBridge_->exitCode(), 0);
    // A goodbye leaves the projector offline, as the will would.
    QTRY_COMPARE(watcher_->last(QStringLiteral("qv7/hall/availability")), QByteArray("offline"));
}

void TstBridge::stateAfterStart()
{
    const QMap<QString, QByteArray> expected{
        {QStringLiteral("qv7/hall/availability"), "online"},
        {QStringLiteral("qv7/hall/link"), "up"},
        {QStringLiteral("qv7/hall/power"), "standby"},
        {QStringLiteral("qv7/hall/input"), "pc1"},
        {QStringLiteral("qv7/hall/lamp_hours"), "1234"},
        {QStringLiteral("qv7/hall/orientation"), "Top/Bottom reversal"},
    };
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->matching(QStringLiteral("qv7/hall/")), expected, kTimeout);
}

void TstBridge::networkProjector()
{
    // A projector behind a serial device server on loopback; the server goes away.
    SimulatorServer converter;
    QVERIFY(converter.listen(QStringLiteral("rfc2217://127.0.0.1:0")));
    const auto lab =
        bridge(*broker_, QStringLiteral("[lab]\nport = %1\n").arg(converter.portName()));
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/power")),
                              QByteArray("standby"), kTimeout);
    QCOMPARE(watcher_->last(QStringLiteral("qv7/lab/link")), QByteArray("up"));
    converter.close();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/link")), QByteArray("down"),
                              kTimeout);
    lab->terminate();
    QVERIFY(lab->waitForFinished());
}

void TstBridge::discovery_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QJsonObject>("fields");

    const auto state = [](const char *leaf) {
        return QStringLiteral("qv7/hall/") + QLatin1StringView(leaf);
    };
    QTest::newRow("power switch") << "homeassistant/switch/qv7_hall/power/config"
                                  << QJsonObject{{"unique_id", "qv7_hall_power"},
                                                 {"state_topic", state("power")},
                                                 {"command_topic", state("power/set")}};
    QTest::newRow("input select") << "homeassistant/select/qv7_hall/input/config"
                                  << QJsonObject{{"unique_id", "qv7_hall_input"},
                                                 {"state_topic", state("input")},
                                                 {"command_topic", state("input/set")},
                                                 {"options", QJsonArray{"pc1", "pc2", "video"}}};
    QTest::newRow("power state") << "homeassistant/sensor/qv7_hall/power_state/config"
                                 << QJsonObject{{"unique_id", "qv7_hall_power_state"},
                                                {"state_topic", state("power")},
                                                {"device_class", "enum"},
                                                {"options", QJsonArray{"on", "standby", "warming",
                                                                       "cooling", "fault"}}};
    QTest::newRow("lamp hours") << "homeassistant/sensor/qv7_hall/lamp_hours/config"
                                << QJsonObject{{"unique_id", "qv7_hall_lamp_hours"},
                                               {"state_topic", state("lamp_hours")},
                                               {"unit_of_measurement", "h"},
                                               {"state_class", "total_increasing"},
                                               {"entity_category", "diagnostic"}};
    QTest::newRow("orientation") << "homeassistant/sensor/qv7_hall/orientation/config"
                                 << QJsonObject{{"unique_id", "qv7_hall_orientation"},
                                                {"state_topic", state("orientation")}};
    QTest::newRow("link") << "homeassistant/binary_sensor/qv7_hall/link/config"
                          << QJsonObject{{"unique_id", "qv7_hall_link"},
                                         {"state_topic", state("link")},
                                         {"device_class", "connectivity"}};
}

void TstBridge::discovery()
{
    QFETCH(QString, topic);
    QFETCH(QJsonObject, fields);

    QTRY_VERIFY_WITH_TIMEOUT(!watcher_->last(topic).isEmpty(), kTimeout);
    const QJsonObject config = json(watcher_->last(topic));
    for (auto it = fields.begin(); it != fields.end(); ++it)
        QCOMPARE(config.value(it.key()), it.value());
    QCOMPARE(config.value("availability_topic").toString(), "qv7/hall/availability");
    const QJsonObject device = config.value("device").toObject();
    QCOMPARE(device.value("identifiers").toArray(), QJsonArray{"qv7_hall"});
    QCOMPARE(device.value("name").toString(), "hall");
    QVERIFY(!device.value("model").toString().isEmpty());
    QVERIFY(!config.value("name").toString().isEmpty());

    // Home Assistant, started again, has forgotten it until the bridge says it again.
    watcher_->publish(topic, {}, true);
    QTRY_VERIFY(watcher_->last(topic).isEmpty());
    watcher_->publish(QStringLiteral("homeassistant/status"), "online");
    QTRY_COMPARE_WITH_TIMEOUT(json(watcher_->last(topic)), config, kTimeout);
}

void TstBridge::queries_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("status");

    QTest::newRow("verb") << QByteArray("status") << "CR0"
                          << "Stand by";
    QTest::newRow("raw code") << QByteArray("CR3") << "CR3"
                              << "1234 Hour Use";
    QTest::newRow("spaces around") << QByteArray(" orientation \n") << "CR4"
                                   << "Top/Bottom reversal";
}

void TstBridge::queries()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, code);
    QFETCH(QString, status);

    watcher_->forget(QStringLiteral("qv7/hall/reply"));
    watcher_->publish(QStringLiteral("qv7/hall/command"), payload);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher_->last(QStringLiteral("qv7/hall/reply")).isEmpty(), kTimeout);
    const QJsonObject reply = json(watcher_->last(QStringLiteral("qv7/hall/reply")));
    QCOMPARE(reply.value("code").toString(), code);
    QCOMPARE(reply.value("status").toString(), status);
    QVERIFY(!reply.contains("error"));
}

void TstBridge::badPayloads_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("error");

    QTest::newRow("power: no word") << "power/set" << QByteArray("maybe") << "takes ON or OFF";
    QTest::newRow("power: empty") << "power/set" << QByteArray() << "takes ON or OFF";
    QTest::newRow("input: unknown")
        << "input/set" << QByteArray("hdmi") << "takes pc1, pc2 or video, not \"hdmi\"";
    QTest::newRow("input: control bytes")
        << "input/set" << QByteArray("pc1\x1b") << "not plain text";
    QTest::newRow("command: unknown") << "command" << QByteArray("fly") << "\"fly\" is no command";
    QTest::newRow("command: bad code") << "command" << QByteArray("C0G") << "is no command";
    QTest::newRow("command: extra word")
        << "command" << QByteArray("power on now") << "is no command";
    QTest::newRow("command: count 0")
        << "command" << QByteArray("volume up 0") << "takes a count from 1 to 100, not 0";
    QTest::newRow("command: count 101") << "command" << QByteArray("volume up 101") << "not 101";
    QTest::newRow("command: not UTF-8") << "command" << QByteArray("\xff\xfe") << "not plain text";
    QTest::newRow("command: long") << "command" << QByteArray(4096, 'C') << "4096 bytes";
}

void TstBridge::badPayloads()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, payload);
    QFETCH(QString, error);

    watcher_->forget(QStringLiteral("qv7/hall/reply"));
    watcher_->publish(QStringLiteral("qv7/hall/") + leaf, payload);
    QTRY_VERIFY_WITH_TIMEOUT(!watcher_->last(QStringLiteral("qv7/hall/reply")).isEmpty(), kTimeout);
    const QJsonObject reply = json(watcher_->last(QStringLiteral("qv7/hall/reply")));
    QVERIFY2(reply.value("error").toString().contains(error),
             qPrintable(reply.value("error").toString()));
    QCOMPARE(reply.value("topic").toString(), QStringLiteral("qv7/hall/") + leaf);
    QVERIFY(!hall_->tookOperation());
    QCOMPARE(watcher_->last(QStringLiteral("qv7/hall/power")), QByteArray("standby"));
}

void TstBridge::powerOnThenInput()
{
    Projector::Settings settings;
    settings.warmUp = std::chrono::seconds(3);
    settings.lampSpeedUp = 360000; // a hundred hours a second
    Line line(path(QStringLiteral("lab")), settings);
    const auto process = bridge(
        *broker_,
        QStringLiteral("[lab]\nport = %1\ntransition-poll = 1\nlamp-poll = 1\n").arg(line.link));
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/power")),
                              QByteArray("standby"), kTimeout);

    // Words match in any case, as qv7ctl takes them.
    watcher_->publish(QStringLiteral("qv7/lab/power/set"), "on");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/power")),
                              QByteArray("warming"), kTimeout);
    QVERIFY(line.commands().contains(QStringLiteral("C 0 0")));
    // Taken during the warm-up, sent once the projector is on.
    watcher_->publish(QStringLiteral("qv7/lab/input/set"), "Video");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/input")), QByteArray("video"),
                              kTimeout);
    const qsizetype on = line.traffic.indexOf(QRegularExpression(QStringLiteral(".* out 0 0 CR")));
    const qsizetype select =
        line.traffic.indexOf(QRegularExpression(QStringLiteral(".* in  C 0 7 CR")));
    QVERIFY(on >= 0);
    QVERIFY2(select > on, "the input was selected before the projector was on");
    QCOMPARE(watcher_->last(QStringLiteral("qv7/lab/power")), QByteArray("on"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/lamp_hours")).toInt() > 0,
                             kTimeout);

    // A script, as qv7ctl takes it: the held verb is held for two sends, not sent twice at once.
    watcher_->forget(QStringLiteral("qv7/lab/reply"));
    watcher_->publish(QStringLiteral("qv7/lab/command"), "INPUT pc1 volume up 2");
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lab/input")), QByteArray("pc1"),
                              kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(line.commands().count(QStringLiteral("C 0 9")), 2, kTimeout);
    QTRY_COMPARE_WITH_TIMEOUT(
        json(watcher_->last(QStringLiteral("qv7/lab/reply"))).value("command").toString(),
        QStringLiteral("volume up 2"), kTimeout);
}

void TstBridge::lastWill()
{
    Line line(path(QStringLiteral("will")));
    const auto process = bridge(*broker_, QStringLiteral("[will]\nport = %1\n").arg(line.link));
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/will/availability")),
                              QByteArray("online"), kTimeout);
    process->kill();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/will/availability")),
                              QByteArray("offline"), kTimeout);
}

void TstBridge::brokerRestart()
{
    Broker broker;
    Watcher watcher(broker);
    Line line(path(QStringLiteral("restart")));
    const auto process = bridge(broker, QStringLiteral("[restart]\nport = %1\n").arg(line.link));
    QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("qv7/restart/power")),
                              QByteArray("standby"), kTimeout);
    broker.stop();
    QTRY_VERIFY(!watcher.isConnected());
    watcher.forget();
    broker.start();
    // Nothing survives the broker but what the bridge publishes again.
    QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("qv7/restart/power")),
                              QByteArray("standby"), kTimeout);
    QCOMPARE(watcher.last(QStringLiteral("qv7/restart/availability")), QByteArray("online"));
    QVERIFY(
        !watcher.last(QStringLiteral("homeassistant/switch/qv7_restart/power/config")).isEmpty());
    QCOMPARE(process->state(), QProcess::Running);
}

void TstBridge::lineLostAndBack()
{
    Line line(path(QStringLiteral("lost")));
    const auto process = bridge(*broker_, QStringLiteral("[lost]\nport = %1\n").arg(line.link));
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lost/link")), QByteArray("up"),
                              kTimeout);
    line.server.close();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lost/link")), QByteArray("down"),
                              kTimeout);
    line.open();
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/lost/link")), QByteArray("up"),
                              kTimeout);
    QCOMPARE(process->state(), QProcess::Running);
    QCOMPARE(watcher_->last(QStringLiteral("qv7/lost/availability")), QByteArray("online"));
}

void TstBridge::silentProjector()
{
    Line line(path(QStringLiteral("quiet")));
    const auto process =
        bridge(*broker_, QStringLiteral("[quiet]\nport = %1\npower-poll = 1\n").arg(line.link));
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/quiet/link")), QByteArray("up"),
                              kTimeout);
    line.server.setFaults({.noAnswer = true});
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/quiet/link")),
                              QByteArray("silent"), kTimeout);
    line.server.setFaults({});
    QTRY_COMPARE_WITH_TIMEOUT(watcher_->last(QStringLiteral("qv7/quiet/link")), QByteArray("up"),
                              kTimeout);
}

void TstBridge::authentication_data()
{
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("admitted");

    QTest::newRow("right password") << QByteArray("s3cret\n") << true;
    QTest::newRow("wrong password") << QByteArray("guess\n") << false;
}

void TstBridge::authentication()
{
    QFETCH(QByteArray, password);
    QFETCH(bool, admitted);

    QTemporaryDir dir;
    // The broker reads its password file as the user it drops to.
    QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther);
    const QString passwords = dir.filePath(QStringLiteral("passwords"));
    QCOMPARE(QProcess::execute(QStringLiteral("mosquitto_passwd"),
                               {QStringLiteral("-c"), QStringLiteral("-b"), passwords,
                                QStringLiteral("bridge"), QStringLiteral("s3cret")}),
             0);
    QFile::setPermissions(passwords, QFile::permissions(passwords) | QFile::ReadOther);
    Broker broker(
        {QStringLiteral("allow_anonymous false"), QStringLiteral("password_file ") + passwords});
    Watcher watcher(broker, QStringLiteral("bridge"), QStringLiteral("s3cret"));
    QTRY_VERIFY_WITH_TIMEOUT(watcher.isConnected(), kTimeout);
    QFile file(dir.filePath(QStringLiteral("secret")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(password) == password.size());
    file.close();
    Line line(path(QStringLiteral("auth")));
    const auto process = bridge(broker, QStringLiteral("[auth]\nport = %1\n").arg(line.link),
                                {QStringLiteral("--username"), QStringLiteral("bridge"),
                                 QStringLiteral("--password-file"), file.fileName()});
    if (admitted) {
        QTRY_COMPARE_WITH_TIMEOUT(watcher.last(QStringLiteral("qv7/auth/availability")),
                                  QByteArray("online"), kTimeout);
        return;
    }
    QByteArray log;
    QTRY_VERIFY2_WITH_TIMEOUT((log += process->readAllStandardError()).contains("not authorised"),
                              log.constData(), kTimeout);
    QVERIFY(watcher.last(QStringLiteral("qv7/auth/availability")).isEmpty());
    QCOMPARE(process->state(), QProcess::Running);
}

void TstBridge::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("inventory");
    QTest::addColumn<QString>("error");

    const QString good = QStringLiteral("[a]\nport = /dev/null\n");
    const auto row = [&](const char *name, const char *arguments, const QString &inventory,
                         const char *error) {
        QTest::newRow(name) << QString::fromLatin1(arguments).split(u' ', Qt::SkipEmptyParts)
                            << inventory << QString::fromLatin1(error);
    };
    row("broker: other scheme", "--broker http://127.0.0.1:1883", good, "--broker is mqtt://");
    row("broker: no host", "--broker mqtt://", good, "--broker is mqtt://");
    row("broker: password in it", "--broker mqtt://u:p@127.0.0.1", good, "--password-file");
    row("mqtts without --ca", "--broker mqtts://127.0.0.1", good, "needs --ca");
    row("--ca for mqtt", "--broker mqtt://127.0.0.1 --ca /etc/hostname", good, "--ca is for");
    row("password file missing", "--username u --password-file /nonexistent", good,
        "--password-file /nonexistent: cannot be read");
    row("password without user", "--password-file /etc/hostname", good, "needs --username");
    row("prefix with wildcard", "--topic-prefix qv7/#", good, "--topic-prefix is topic levels");
    row("unknown option", "--colour red", good, "colour");
    row("connect time-out not a number", "--connect-timeout soon", good,
        "--connect-timeout takes milliseconds");
    row("poll period zero", "", QStringLiteral("[a]\nport = /dev/null\npower-poll = 0\n"),
        ".ini:3: power-poll is seconds from 1 to 86400, not 0");
}

void TstBridge::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, inventory);
    QFETCH(QString, error);

    QFile file(path(QStringLiteral("usage.ini")));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(inventory.toUtf8()) > 0);
    file.close();
    QStringList all{QStringLiteral("--inventory"), file.fileName()};
    if (!arguments.contains(QStringLiteral("--broker")))
        all << QStringLiteral("--broker") << broker_->url();
    QProcess process;
    process.start(QStringLiteral(QV7BRIDGE), all + arguments);
    QVERIFY(process.waitForFinished());
    const QString stderrText = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), 64);
    QVERIFY2(stderrText.contains(error), qPrintable(stderrText));
}

QTEST_GUILESS_MAIN(TstBridge)
#include "tst_bridge.moc"
