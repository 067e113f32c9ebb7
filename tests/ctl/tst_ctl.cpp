// qv7ctl run as a script runs it, as a process of its own, against simulated projectors and
// pseudo-terminals that this test owns: the bytes it sends, what it prints, its exit codes.

#include "sim/server.h"

#include "ptypair.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using qv7::sim::Projector;

Q_DECLARE_METATYPE(qv7::sim::ProjectorSettings)
Q_DECLARE_METATYPE(std::chrono::milliseconds)
using qv7::sim::SimulatorServer;

namespace {

const QByteArray kAck = "\x06\r";

struct Result {
    int exitCode = -1;
    QStringList out; // standard output, one entry a line
    QString err;
};

QStringList words(const char *text)
{
    return QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts);
}

QStringList lines(const QByteArray &text)
{
    return QString::fromUtf8(text).split(u'\n', Qt::SkipEmptyParts);
}

// Starts qv7ctl; the caller's events (simulators, pseudo-terminals) go on while it runs.
std::unique_ptr<QProcess> start(const QStringList &arguments, const QString &program = QV7CTL,
                                const QStringList &prefix = {})
{
    auto process = std::make_unique<QProcess>();
    process->start(prefix.isEmpty() ? program : prefix.first(),
                   prefix.isEmpty() ? arguments : prefix.mid(1) + QStringList{program} + arguments);
    return process;
}

Result finish(QProcess &process)
{
    [&] { QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 30000); }();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            lines(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

Result qv7ctl(const QStringList &arguments)
{
    return finish(*start(arguments));
}

QJsonObject json(const QString &line)
{
    return QJsonDocument::fromJson(line.toUtf8()).object();
}

// The --inventory option for a file in dir with the text.
QStringList writeInventory(const QTemporaryDir &dir, const QString &text)
{
    QFile file(dir.filePath(QStringLiteral("projectors.ini")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return {QStringLiteral("--inventory"), file.fileName()};
}

std::unique_ptr<SimulatorServer> simulator(const Projector::Settings &settings = {})
{
    auto server = std::make_unique<SimulatorServer>(settings);
    if (!server->openPseudoTerminal())
        qFatal("no simulator: %s", qPrintable(server->errorString()));
    return server;
}

} // namespace

class TstCtl : public QObject {
    Q_OBJECT

private slots:
    void commandBytes_data();
    void commandBytes();
    void queries_data();
    void queries();
    void replyDecodesToNothing();
    void silentProjector();
    void busyPort();
    void networkPorts_data();
    void networkPorts();
    void vanishedDevice();
    void permissionDenied();
    void waitForPower_data();
    void waitForPower();
    void inventory();
    void metricsParseBack();
    void badInput_data();
    void badInput();
};

void TstCtl::commandBytes_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("printed");

    const auto row = [](const char *words, const QByteArray &sent, const QByteArray &answer = kAck,
                        const QString &printed = {}) {
        QTest::newRow(words) << QString::fromLatin1(words).split(u' ') << sent << answer << printed;
    };
    row("power on", "C00\r");
    row("power off", "C02\r");
    row("input pc1", "C05\r");
    row("input pc2", "C06\r");
    row("input video", "C07\r");
    row("audio-mute on", "C0B\r");
    row("audio-mute off", "C0C\r");
    row("video-mute on", "C0D\r");
    row("video-mute off", "C0E\r");
    row("screen normal", "C0F\r");
    row("screen wide", "C10\r");
    row("menu on", "C1C\r");
    row("menu off", "C1D\r");
    row("freeze on", "C43\r");
    row("freeze off", "C44\r");
    row("auto-image", "C89\r");
    row("normal", "C1F\r");
    row("cursor-mode", "C4F\r");
    row("p-timer", "C8A\r");
    row("display-clear", "C1E\r");
    row("zoom-mode", "C80\r");
    row("focus-mode", "C87\r");
    row("lens-shift-mode", "C88\r");
    row("status", "CR0\r", "40\r", QStringLiteral("Count down"));
    row("input", "CR1\r", "2\r", QStringLiteral("Computer 2"));
    row("lamp-hours", "CR3\r", "9876\r", QStringLiteral("9876 Hour Use"));
    row("orientation", "CR4\r", "01\r", QStringLiteral("Left/Right reversal"));
    row("volume up", "C09\r");
    row("volume down 3", "C0A\rC0A\rC0A\r");
    row("cursor up 2", "C3C\rC3C\r");
    row("cursor down", "C3D\r");
    row("cursor left", "C3B\r");
    row("cursor right 2", "C3A\rC3A\r");
    row("zoom in 3", "C47\rC47\rC47\r");
    row("zoom out", "C46\r");
    row("focus up 2", "C4B\rC4B\r");
    row("focus down", "C4A\r");
    row("select 2", "C3F\rC3F\r");
    row("digital-zoom in 2", "C30\rC30\r");
    row("digital-zoom out", "C31\r");
    row("keystone up", "C8E\r");
    row("keystone down 2", "C8F\rC8F\r");
    row("lens-shift up 2", "C5D\rC5D\r");
    row("lens-shift down", "C5E\r");
    QTest::newRow("raw code") << words("C01") << QByteArray("C01\r") << kAck << QString();
    QTest::newRow("raw query") << words("CR0") << QByteArray("CR0\r") << QByteArray("00\r")
                               << QStringLiteral("Power ON");
}

void TstCtl::commandBytes()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, sent);
    QFETCH(QByteArray, answer);
    QFETCH(QString, printed);

    qv7::test::PtyPair line;
    const auto process = start(QStringList{QStringLiteral("--port"), line.slavePath()} + arguments);
    QCOMPARE(line.read(int(sent.size())), sent);
    line.write(answer);
    const Result result = finish(*process);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(result.out, printed.isEmpty() ? QStringList() : QStringList{printed});
    QCOMPARE(line.readAll(300), QByteArray()); // not one send more than the count
    QVERIFY(line.slaveClosed());               // the port is let go
}

void TstCtl::queries_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<Projector::Settings>("settings");
    QTest::addColumn<bool>("powerFault");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("power");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("commands");

    using namespace std::chrono_literals;
    Projector::Settings standby;
    Projector::Settings quick;
    quick.warmUp = 0ms;
    Projector::Settings slow;
    slow.warmUp = 60s;
    Projector::Settings worn;
    worn.lampHours = 123;
    Projector::Settings mirrored;
    mirrored.orientation = "10";

    QTest::newRow("standby") << words("status") << standby << false << QStringLiteral("Stand by")
                             << QStringLiteral("standby") << QStringLiteral("80\r") << 1;
    QTest::newRow("on") << words("power on status") << quick << false << QStringLiteral("Power ON")
                        << QStringLiteral("on") << QStringLiteral("00\r") << 2;
    QTest::newRow("warming") << words("power on status") << slow << false
                             << QStringLiteral("Count down") << QStringLiteral("warming")
                             << QStringLiteral("40\r") << 2;
    QTest::newRow("fault") << words("status") << standby << true
                           << QStringLiteral("Power abnormality") << QStringLiteral("fault")
                           << QStringLiteral("10\r") << 1;
    QTest::newRow("input") << words("power on input video input") << quick << false
                           << QStringLiteral("Video") << QString() << QStringLiteral("3\r") << 3;
    QTest::newRow("lamp hours") << words("lamp-hours") << worn << false
                                << QStringLiteral("0123 Hour Use") << QString()
                                << QStringLiteral("0123\r") << 1;
    QTest::newRow("orientation") << words("orientation") << mirrored << false
                                 << QStringLiteral("Top/Bottom reversal") << QString()
                                 << QStringLiteral("10\r") << 1;
    QTest::newRow("raw query") << words("CR0") << standby << false << QStringLiteral("Stand by")
                               << QStringLiteral("standby") << QStringLiteral("80\r") << 1;
}

void TstCtl::queries()
{
    QFETCH(QStringList, arguments);
    QFETCH(Projector::Settings, settings);
    QFETCH(bool, powerFault);
    QFETCH(QString, status);
    QFETCH(QString, power);
    QFETCH(QString, reply);
    QFETCH(int, commands);

    const auto projector = simulator(settings);
    projector->projector().setPowerAbnormality(powerFault, qv7::sim::Clock::now());
    const QStringList port{QStringLiteral("--port"), projector->portName()};

    const Result text = qv7ctl(port + arguments);
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out.last(), status);

    const Result machine = qv7ctl(port + arguments + words("--json"));
    QCOMPARE(machine.exitCode, 0);
    QCOMPARE(machine.out.size(), commands); // one object a command
    const QJsonObject last = json(machine.out.last());
    QCOMPARE(last[u"port"].toString(), projector->portName());
    QCOMPARE(last[u"command"].toString(), arguments.last());
    QCOMPARE(last[u"reply"].toString(), reply);
    QCOMPARE(last[u"status"].toString(), status);
    QCOMPARE(last[u"power"].toString(), power); // null reads as empty
    QCOMPARE(last[u"exit"].toInt(), 0);
    QVERIFY(last[u"rendering"].toString().endsWith(u" CR "));
}

void TstCtl::replyDecodesToNothing()
{
    qv7::test::PtyPair line;
    const auto process =
        start({QStringLiteral("--port"), line.slavePath(), QStringLiteral("status")});
    QCOMPARE(line.read(4), QByteArray("CR0\r"));
    line.write("9z\r");
    const Result result = finish(*process);
    QCOMPARE(result.exitCode, 65);
    QCOMPARE(result.out, QStringList{QStringLiteral(" 9 z CR ")});
    QVERIFY2(result.err.contains(line.slavePath()), qPrintable(result.err));
}

void TstCtl::silentProjector()
{
    const auto projector = simulator();
    projector->setFaults({.noAnswer = true});
    const Result result = qv7ctl({QStringLiteral("--port"), projector->portName(),
                                  QStringLiteral("status"), QStringLiteral("--raw")});
    QCOMPARE(result.exitCode, 69);
    QCOMPARE(result.out, QStringList{QStringLiteral(" X X X X")});
    QVERIFY2(result.err.contains(projector->portName() + QStringLiteral(": no reply to CR0")),
             qPrintable(result.err));
}

void TstCtl::busyPort()
{
    const auto projector = simulator();
    QSerialPort other(projector->portName());
    QVERIFY(other.open(QIODevice::ReadWrite));
    const Result result =
        qv7ctl({QStringLiteral("--port"), projector->portName(), QStringLiteral("status")});
    QCOMPARE(result.exitCode, 75);
    QVERIFY2(result.err.contains(projector->portName()) &&
                 result.err.contains(QStringLiteral("in use by another program")),
             qPrintable(result.err));
}

void TstCtl::networkPorts_data()
{
    // On loopback: a query over each kind of network port, a port nobody listens on, and a
    // converter that already serves another client.
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("said"); // on standard output, or in the error
    for (const char *scheme : {"tcp", "rfc2217"}) {
        QTest::addRow("%s: status", scheme) << scheme << "serving" << 0 << "Stand by";
        QTest::addRow("%s: refused", scheme) << scheme << "refused" << 74 << "connection refused";
        QTest::addRow("%s: another client", scheme)
            << scheme << "busy" << 75 << "in use by another client";
    }
}

void TstCtl::networkPorts()
{
    QFETCH(QString, scheme);
    QFETCH(QString, situation);
    QFETCH(int, exitCode);
    QFETCH(QString, said);
    SimulatorServer projector;
    QVERIFY(projector.listen(scheme + QStringLiteral("://127.0.0.1:0")));
    QString port = projector.portName();
    std::unique_ptr<QProcess> first;
    if (situation == QLatin1String("refused")) {
        projector.close();
    } else if (situation == QLatin1String("busy")) {
        first = start({QStringLiteral("--port"), port, QStringLiteral("--wait"),
                       QStringLiteral("on"), QStringLiteral("--timeout"), QStringLiteral("20")});
        QTest::qWait(1000);
    }
    const Result result = qv7ctl({QStringLiteral("--port"), port, QStringLiteral("status")});
    if (first)
        first->kill();
    QCOMPARE(result.exitCode, exitCode);
    if (exitCode == 0)
        QCOMPARE(result.out, QStringList{said});
    else
        QVERIFY2(result.err.contains(port) && result.err.contains(said), qPrintable(result.err));
}

void TstCtl::vanishedDevice()
{
    qv7::test::PtyPair line;
    // Otherwise qv7ctl inherits the master, and the line stays up for as long as it runs.
    QCOMPARE(::fcntl(line.masterFd(), F_SETFD, FD_CLOEXEC), 0);
    const auto process =
        start({QStringLiteral("--port"), line.slavePath(), QStringLiteral("status")});
    QCOMPARE(line.read(4), QByteArray("CR0\r"));
    line.closeMaster(); // the adapter is pulled before the answer
    const Result result = finish(*process);
    QCOMPARE(result.exitCode, 74);
    QVERIFY2(result.err.contains(line.slavePath()) &&
                 result.err.contains(QStringLiteral("went away")),
             qPrintable(result.err));
}

void TstCtl::permissionDenied()
{
    qv7::test::PtyPair line;
    QCOMPARE(::chmod(QFile::encodeName(line.slavePath()).constData(), 0), 0);
    // Root opens anything: ask as an ordinary user.
    const QStringList asUser = ::geteuid() == 0
                                   ? words("setpriv --reuid=65534 --regid=65534 --clear-groups")
                                   : QStringList();
    const Result result = finish(*start(
        {QStringLiteral("--port"), line.slavePath(), QStringLiteral("status")}, QV7CTL, asUser));
    QCOMPARE(result.exitCode, 77);
    QVERIFY2(result.err.contains(line.slavePath()) &&
                 result.err.contains(QStringLiteral("permission denied; ")),
             qPrintable(result.err));
}

void TstCtl::waitForPower_data()
{
    using namespace std::chrono_literals;
    QTest::addColumn<std::chrono::milliseconds>("warmUp");
    QTest::addColumn<QStringList>("timeout");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("power");
    QTest::addColumn<QString>("complaint");

    QTest::newRow("through a warm-up") << std::chrono::milliseconds(1500ms) << QStringList() << 0
                                       << QStringLiteral("on") << QString();
    QTest::newRow("past its time-out")
        << std::chrono::milliseconds(60s) << words("--timeout 1.5") << 69
        << QStringLiteral("warming")
        << QStringLiteral("gave up waiting for on after 1.5 s: still warming");
}

void TstCtl::waitForPower()
{
    QFETCH(std::chrono::milliseconds, warmUp);
    QFETCH(QStringList, timeout);
    QFETCH(int, exitCode);
    QFETCH(QString, power);
    QFETCH(QString, complaint);

    Projector::Settings settings;
    settings.warmUp = warmUp;
    const auto projector = simulator(settings);
    const Result result = qv7ctl(QStringList{QStringLiteral("--port"), projector->portName()} +
                                 words("--json power on --wait on") + timeout);
    QCOMPARE(result.exitCode, exitCode);
    QCOMPARE(result.out.size(), 2);
    QCOMPARE(json(result.out[1])[u"command"].toString(), QStringLiteral("wait on"));
    QCOMPARE(json(result.out[1])[u"power"].toString(), power);
    QVERIFY2(result.err.contains(complaint), qPrintable(result.err));
}

void TstCtl::inventory()
{
    const auto hall = simulator();
    Projector::Settings worn;
    worn.lampHours = 42;
    const auto lab = simulator(worn);
    QVERIFY(lab->setBaudRate(9600));
    QTemporaryDir dir;
    const QStringList inventory = writeInventory(
        dir, QStringLiteral("# rooms\n[hall]\nport = %1\ngroup = east\n\n[lab]\nport = %2\n"
                            "speed = 9600\ngroup = east\n[attic]\nport = %3\n")
                 .arg(hall->portName(), lab->portName(), dir.filePath(QStringLiteral("gone"))));

    const Result all = qv7ctl(inventory + words("--all lamp-hours"));
    QCOMPARE(all.exitCode, 74);
    QCOMPARE(all.out, (QStringList{QStringLiteral("hall: 0000 Hour Use"),
                                   QStringLiteral("lab: 0042 Hour Use"),
                                   QStringLiteral("attic: failed (exit 74)")}));
    QVERIFY2(all.err.contains(QStringLiteral("attic: ")) &&
                 all.err.contains(QStringLiteral("1 of 3 projectors failed: attic")),
             qPrintable(all.err));

    const Result group = qv7ctl(inventory + words("--group east --json status"));
    QCOMPARE(group.exitCode, 0);
    QCOMPARE(group.out.size(), 2);
    QCOMPARE(json(group.out[1])[u"projector"].toString(), QStringLiteral("lab"));
    QCOMPARE(json(group.out[1])[u"power"].toString(), QStringLiteral("standby"));

    const Result one = qv7ctl(inventory + words("--port lab input"));
    QCOMPARE(one.exitCode, 0);
    QCOMPARE(one.out, QStringList{QStringLiteral("Computer 1")});
}

void TstCtl::metricsParseBack()
{
    const auto hall = simulator();
    Projector::Settings worn;
    worn.lampHours = 4321;
    worn.warmUp = {};
    const auto lab = simulator(worn);
    lab->projector().receive("C00\r", qv7::sim::Clock::now());
    QTemporaryDir dir;
    const QStringList inventory = writeInventory(
        dir, QStringLiteral("[hall]\nport = %1\n[lab]\nport = %2\n[attic]\nport = %3\n")
                 .arg(hall->portName(), lab->portName(), dir.filePath(QStringLiteral("gone"))));

    const Result result = qv7ctl(inventory + words("metrics"));
    QCOMPARE(result.exitCode, 74);
    // Every line is a comment or a sample: name{labels} value.
    static const QRegularExpression sample(QStringLiteral(R"(^(qv7_\w+)\{([^}]*)\} (\d+)$)"));
    QMap<QString, int> samples;
    for (const QString &line : result.out) {
        if (line.startsWith(u'#'))
            continue;
        const auto match = sample.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        samples.insert(match.captured(1) + u'{' + match.captured(2) + u'}',
                       match.captured(3).toInt());
    }
    QCOMPARE(samples.value(QStringLiteral(R"(qv7_up{projector="hall"})"), -1), 1);
    QCOMPARE(samples.value(QStringLiteral(R"(qv7_up{projector="lab"})"), -1), 1);
    QCOMPARE(samples.value(QStringLiteral(R"(qv7_up{projector="attic"})"), -1), 0);
    QCOMPARE(
        samples.value(QStringLiteral(R"(qv7_power_state{projector="hall",state="standby"})"), -1),
        1);
    QCOMPARE(samples.value(QStringLiteral(R"(qv7_power_state{projector="lab",state="on"})"), -1),
             1);
    QCOMPARE(
        samples.value(QStringLiteral(R"(qv7_power_state{projector="lab",state="standby"})"), -1),
        0);
    QCOMPARE(samples.value(QStringLiteral(R"(qv7_lamp_hours{projector="lab"})"), -1), 4321);
    QVERIFY(!samples.contains(QStringLiteral(R"(qv7_lamp_hours{projector="attic"})")));
}

void TstCtl::badInput_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("inventory");
    QTest::addColumn<QString>("complaint");

    const auto row = [](const char *name, const char *words, const char *inventory,
                        const char *complaint) {
        QTest::newRow(name) << QString::fromLatin1(words).split(u' ', Qt::SkipEmptyParts)
                            << QString::fromLatin1(inventory) << QString::fromLatin1(complaint);
    };
    row("unknown verb", "dance", "", "\"dance\" is no command");
    row("verb without its argument", "power", "", "power takes on or off");
    row("count of 0", "volume up 0", "", "volume up takes a count from 1 to 100, not 0");
    row("count too large", "zoom in 101", "", "count from 1 to 100, not 101");
    row("count not a number", "keystone down 2x", "", "not 2x");
    row("lower-case raw code", "c00", "", "\"c00\" is no command");
    row("no command", "", "", "no command given");
    row("unknown option", "--colour status", "", "colour");
    row("wait for a state it cannot", "--wait warming", "", "--wait is on or standby");
    row("timeout without wait", "status --timeout 5", "", "--timeout goes with --wait");
    row("raw and json", "--raw --json status", "", "not both");
    row("speed it cannot", "--speed 4800 status", "", "--speed is 19200 or 9600, not 4800");
    row("all without inventory", "--all status", "", "need an --inventory");
    row("metrics with another command", "metrics status", "", "metrics goes alone");
    row("inventory: unknown key", "--all status", "[a]\nport = /dev/null\ncolour = red\n",
        ":3: unknown key \"colour\"");
    row("inventory: key before a section", "--all status", "port = /dev/null\n",
        ":1: a key before the first [NAME]");
    row("inventory: section without port", "--all status", "[a]\n\n[b]\nport = x\n",
        ":1: [a] has no port");
    row("inventory: same name twice", "--all status", "[a]\nport = x\n[a]\nport = y\n",
        ":3: [a] is there twice");
    row("inventory: speed", "--all status", "[a]\nport = x\nspeed = fast\n",
        ":3: speed is 19200 or 9600, not fast");
    row("inventory: not a line", "--all status", "[a]\nport = x\nloose words\n",
        ":3: expected [NAME] or KEY = VALUE");
    row("inventory: empty group", "--group west status", "[a]\nport = x\ngroup = east\n",
        "in group west");
}

void TstCtl::badInput()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, inventory);
    QFETCH(QString, complaint);

    QTemporaryDir dir;
    if (!inventory.isEmpty()) {
        const QStringList option = writeInventory(dir, inventory);
        arguments += option;
        if (complaint.startsWith(u':')) // the file and line at fault
            complaint.prepend(option.last());
    }
    const Result result = qv7ctl(arguments);
    QCOMPARE(result.exitCode, 64);
    QVERIFY2(result.err.contains(complaint), qPrintable(result.err));
    QVERIFY(result.out.isEmpty());
}

QTEST_GUILESS_MAIN(TstCtl)
#include "tst_ctl.moc"
