// qv7ctl run as a script runs it, as a process of its own, against simulated projectors,
// pseudo-terminals and loopback sockets that this test owns: the bytes it sends, what it
// prints, its exit codes. The vocabulary and the decoding are the protocol library's own.

#include "sim/server.h"

#include "ptypair.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;
using qv7::sim::SimulatedProjector;
using qv7::sim::SimulatorServer;

namespace {

struct Result {
    int exitCode = -1;
    QStringList out; // standard output, one entry a line
    QString err;
};

QStringList words(const QString &text)
{
    return text.split(u' ', Qt::SkipEmptyParts);
}

// Starts qv7ctl, behind a prefix command if given; the caller's events go on while it runs.
std::unique_ptr<QProcess> start(const QStringList &arguments, const QStringList &prefix = {})
{
    const QStringList all = prefix + QStringList{QStringLiteral(QV7CTL)} + arguments;
    auto process = std::make_unique<QProcess>();
    process->start(all.first(), all.mid(1));
    return process;
}

// qv7ctl ends on events of its own; one still running after the wait is a fault.
Result finish(QProcess &process, int timeoutMs = 10000)
{
    [&] { QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, timeoutMs); }();
    const bool ended =
        process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts),
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
    QFile file(dir.filePath(u"projectors.ini"_s));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) != text.toUtf8().size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return {u"--inventory"_s, file.fileName()};
}

std::unique_ptr<SimulatorServer> simulator(const SimulatedProjector::Settings &settings = {})
{
    auto server = std::make_unique<SimulatorServer>(settings);
    if (!server->openPseudoTerminal())
        qFatal("no simulator: %s", qPrintable(server->errorString()));
    return server;
}

// Rows of the tables.
struct Query {
    QString arguments;
    bool powerFault;
    QString sent;   // the codes, without their CRs
    QString status; // printed, and in JSON
    QString power;  // in JSON; empty for null
    QString reply;
    int commands;
};
struct Outcome {
    QString arguments;
    int exitCode;
    QString printed;
    QString complaint; // with the port's name
};
} // namespace

Q_DECLARE_METATYPE(Query)
Q_DECLARE_METATYPE(Outcome)

class TstCtl : public QObject {
    Q_OBJECT

private slots:
    void queries_data();
    void queries();
    void outcomes_data();
    void outcomes();
    void inventoryAndMetrics();
    void badInput_data();
    void badInput();
};

void TstCtl::queries_data()
{
    QTest::addColumn<Query>("row");
    QTest::newRow("standby") << Query("status", false, "CR0", "Stand by", "standby", "80\r", 1);
    QTest::newRow("fault") << Query("status", true, "CR0", "Power abnormality", "fault", "10\r", 1);
    QTest::newRow("raw code") << Query("CR3", false, "CR3", "0123 Hour Use", "", "0123\r", 1);
    // One open port for a whole script, words in any case, a held verb sent its count of
    // times and no more, a raw code as it is; operations print nothing.
    QTest::newRow("script") << Query("power on INPUT Video volume up 3 C8A input", false,
                                     "C00 C07 C09 C09 C09 C8A CR1", "Video", "", "3\r", 5);
}

void TstCtl::queries()
{
    QFETCH(Query, row);
    const auto projector = simulator({.warmUp = {}, .lampHours = 123});
    projector->projector().setPowerAbnormality(row.powerFault, qv7::sim::Clock::now());
    QStringList sent;
    connect(projector.get(), &SimulatorServer::trafficLogged, this, [&](const QString &line) {
        if (line.contains(" in  "_L1))
            sent.append(line.section(u" in  "_s, 1).remove(u" CR"_s).remove(u' '));
    });
    const QStringList command =
        QStringList{u"--port"_s, projector->portName()} + words(row.arguments);

    const Result text = qv7ctl(command);
    QCOMPARE(text.exitCode, 0);
    QCOMPARE(text.out, QStringList{row.status});
    QCOMPARE(sent, words(row.sent));

    const Result machine = qv7ctl(command + QStringList{u"--json"_s});
    QCOMPARE(machine.exitCode, 0);
    QCOMPARE(machine.out.size(), row.commands); // one object a command
    const QJsonObject last = json(machine.out.last());
    QCOMPARE(last[u"port"].toString(), projector->portName());
    QCOMPARE(last[u"command"].toString(), words(row.arguments).last());
    QCOMPARE(last[u"reply"].toString(), row.reply);
    QCOMPARE(last[u"status"].toString(), row.status);
    QCOMPARE(last[u"power"].toString(), row.power); // null reads as empty
    QCOMPARE(last[u"exit"].toInt(), 0);
    QVERIFY(last[u"rendering"].toString().endsWith(u" CR "));
    QVERIFY(!last.contains(u"projector"));
}

void TstCtl::outcomes_data()
{
    // The situation is the row's name.
    QTest::addColumn<Outcome>("row");
    const auto row = [](const char *situation, const Outcome &outcome) {
        QTest::newRow(situation) << outcome;
    };
    row("rubbish reply", {"status", 65, " 9 z CR ", "the reply to CR0 decodes to nothing"});
    // What the projector's reply becomes at the wrong speed varies: only the advice is checked.
    row("another speed",
        {"--speed 9600 status", 65, "*", "; is the projector at another speed? try --speed 19200"});
    // A query gets no hint that the projector is in standby: it answers queries there.
    row("silent projector", {"status --raw", 69, " X X X X", "no reply to CR0 within 500 ms\n"});
    row("input in standby",
        {"input pc1", 69, "", "no reply to C05 within 500 ms; the projector takes this only when"});
    row("adapter pulled", {"status", 74, "", "went away"});
    row("port in use", {"status", 75, "", "in use by another program"});
    row("permission denied", {"status", 77, "", "permission denied; "});
    row("tcp busy", {"status", 75, "", "in use by another client"});
    // The projector warms up for 3 s; a fault ends the wait at once, long before its time-out.
    row("wait: through a warm-up", {"power on --wait on", 0, "Power ON", ""});
    row("wait: past its time-out",
        {"power on --wait on --timeout 1", 69, "Count down", "gave up waiting for on after 1"});
    row("wait: fault",
        {"--wait on --timeout 120", 69, "Power abnormality", "the projector reports"});
    // The report names the time qv7ctl was given, not its default.
    row("tcp stuck", {"--connect-timeout 200 status", 74, "", "no connection within 0.2 s"});
}

void TstCtl::outcomes()
{
    QFETCH(Outcome, row);
    const QString situation = QString::fromLatin1(QTest::currentDataTag());

    qv7::test::PtyPair line;
    // Otherwise qv7ctl inherits the master, and the line stays up for as long as it runs.
    QCOMPARE(::fcntl(line.masterFd(), F_SETFD, FD_CLOEXEC), 0);
    const auto projector = simulator();
    projector->setFaults({.noAnswer = situation == "silent projector"_L1});
    projector->projector().setPowerAbnormality(situation == "wait: fault"_L1,
                                               qv7::sim::Clock::now());
    SimulatorServer converter;
    QVERIFY(converter.listen(u"tcp://127.0.0.1:0"_s));
    // Accepts nothing: the kernel queues one connection and drops the next one's handshake.
    QTcpServer stuck;
    stuck.setListenBacklogSize(0);
    stuck.setMaxPendingConnections(0);
    QVERIFY(stuck.listen(QHostAddress::LocalHost));
    QSerialPort other(projector->portName());
    QTcpSocket first;
    const bool owned = situation == "rubbish reply"_L1 || situation == "adapter pulled"_L1;
    const QString port = owned                        ? line.slavePath()
                         : situation == "tcp busy"_L1 ? converter.portName()
                         : situation == "tcp stuck"_L1
                             ? u"tcp://127.0.0.1:%1"_s.arg(stuck.serverPort())
                             : projector->portName();
    QStringList asUser;
    if (situation == "port in use"_L1)
        QVERIFY(other.open(QIODevice::ReadWrite));
    if (situation == "tcp busy"_L1 || situation == "tcp stuck"_L1) {
        first.connectToHost(QHostAddress::LocalHost, quint16(QUrl(port).port()));
        QVERIFY(first.waitForConnected(5000));
    }
    if (situation == "permission denied"_L1) {
        QCOMPARE(::chmod(QFile::encodeName(port).constData(), 0), 0);
        // Root opens anything: ask as an ordinary user.
        if (::geteuid() == 0)
            asUser = words(u"setpriv --reuid=65534 --regid=65534 --clear-groups"_s);
    }
    const auto process = start(QStringList{u"--port"_s, port} + words(row.arguments), asUser);
    if (owned) {
        QCOMPARE(line.read(4), QByteArray("CR0\r"));
        if (situation == "rubbish reply"_L1)
            line.write("9z\r");
        else
            line.closeMaster();
    }
    const Result result = finish(*process, 15000);
    QCOMPARE(result.exitCode, row.exitCode);
    if (row.printed != u"*")
        QCOMPARE(result.out, row.printed.isEmpty() ? QStringList() : QStringList{row.printed});
    const bool named = result.err.contains(row.exitCode ? port : QString());
    QVERIFY2(named && result.err.contains(row.complaint), qPrintable(result.err));
}

void TstCtl::inventoryAndMetrics()
{
    const auto hall = simulator();
    const auto lab = simulator({.warmUp = {}, .lampHours = 4321});
    QVERIFY(lab->setBaudRate(9600));
    lab->projector().receive("C00\r", qv7::sim::Clock::now());
    // Two that fail: the first in the file late (69), the second at once (74).
    const auto loft = simulator();
    loft->setFaults({.noAnswer = true});
    QTemporaryDir dir;
    const QStringList inventory = writeInventory(
        dir, u"# rooms\n[hall]\nport = %1\ngroup = east\n\n[lab]\nport = %2\nspeed = 9600\n"
             "group = east\n[loft]\nport = %3\n[attic]\nport = %4\n"_s.arg(
                 hall->portName(), lab->portName(), loft->portName(), dir.filePath(u"gone"_s)));

    const Result all = qv7ctl(inventory + words(u"--all lamp-hours"_s));
    QCOMPARE(all.exitCode, 69);
    QCOMPARE(all.out, (QStringList{u"hall: 0000 Hour Use"_s, u"lab: 4321 Hour Use"_s,
                                   u"loft: failed (exit 69)"_s, u"attic: failed (exit 74)"_s}));
    QVERIFY2(all.err.contains(u"attic: "_s), qPrintable(all.err));
    QVERIFY(all.err.contains(u"2 of 4 projectors failed: loft, attic"_s));

    const Result group = qv7ctl(inventory + words(u"--group east --json status"_s));
    QCOMPARE(group.exitCode, 0);
    QCOMPARE(group.out.size(), 2);
    QCOMPARE(json(group.out[1])[u"projector"].toString(), u"lab"_s);
    QCOMPARE(json(group.out[1])[u"power"].toString(), u"on"_s);

    // Named from the inventory, the port is still the device.
    const Result one = qv7ctl(inventory + words(u"-p lab --json input"_s));
    QCOMPARE(one.exitCode, 0);
    QCOMPARE(one.out.size(), 1);
    QCOMPARE(json(one.out[0])[u"status"].toString(), u"Computer 1"_s);
    QCOMPARE(json(one.out[0])[u"port"].toString(), lab->portName());

    const Result metrics = qv7ctl(inventory + QStringList{u"metrics"_s});
    QCOMPARE(metrics.exitCode, 69);
    for (const char *line : {R"(qv7_up{projector="hall"} 1)", R"(qv7_up{projector="lab"} 1)",
                             R"(qv7_up{projector="loft"} 0)", R"(qv7_up{projector="attic"} 0)",
                             R"(qv7_power_state{projector="hall",state="standby"} 1)",
                             R"(qv7_power_state{projector="lab",state="on"} 1)",
                             R"(qv7_power_state{projector="lab",state="standby"} 0)",
                             R"(qv7_lamp_seconds{projector="lab"} 15555600)"})
        QVERIFY2(metrics.out.contains(QLatin1String(line)), line);
    QVERIFY(metrics.out.filter(uR"(qv7_lamp_seconds{projector="attic"})"_s).isEmpty());

    // Last, as it may skip: Prometheus's own checker, of the format and of the names' units.
    QProcess check;
    check.start(u"promtool"_s, {u"check"_s, u"metrics"_s});
    if (!check.waitForStarted())
        QSKIP("promtool is not installed (Debian package prometheus; scripts/deps.sh has it)");
    check.write((metrics.out.join(u'\n') + u'\n').toUtf8());
    check.closeWriteChannel();
    QVERIFY(check.waitForFinished(15000));
    QVERIFY2(check.exitCode() == 0, check.readAllStandardError().constData());
}

void TstCtl::badInput_data()
{
    // The complaint from ":" on comes after the inventory's file name.
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QString>("inventory");
    QTest::addColumn<QString>("complaint");
    const auto row = [](const char *name, const char *arguments, const char *inventory,
                        const char *complaint) {
        QTest::newRow(name) << QString::fromLatin1(arguments) << QString::fromLatin1(inventory)
                            << QString::fromLatin1(complaint);
    };
    row("a script that does not parse", "volume up 0", "", "not 0");
    row("no command", "", "", "no command given");
    row("unknown option", "--colour status", "", "colour");
    row("wait for a state it cannot", "--wait warming", "", "--wait is on or standby");
    row("timeout without wait", "status --timeout 5", "", "--timeout goes with --wait");
    row("raw and json", "--raw --json status", "", "not both");
    row("speed it cannot", "--speed 4800 status", "", "--speed is 19200 or 9600, not 4800");
    row("connect time-out 0", "--connect-timeout 0 status", "", "from 1 to 600000, not 0");
    row("all without inventory", "--all status", "", "need an --inventory");
    row("metrics with another command", "metrics status", "", "metrics goes alone");
    row("unknown key", "--all status", "[a]\nport = x\ncolour = red\n", ":3: unknown key");
    row("key before a section", "--all status", "port = x\n", ":1: a key before the first");
    row("section without port", "--all status", "[a]\n\n[b]\nport = x\n", ":1: [a] has no port");
    row("same name twice", "--all status", "[a]\nport = x\n[a]\nport = y\n", ":3: [a] is there");
    row("not a line", "--all status", "[a]\nport = x\nloose\n", ":3: expected [NAME] or KEY");
    row("empty group", "--group west status", "[a]\nport = x\ngroup = east\n", "in group west");
    row("mistyped projector", "-p hal status", "[hall]\nport = x\n[lab]\nport = y\n",
        "has no projector hal (it has hall, lab)");
}

void TstCtl::badInput()
{
    QFETCH(QString, arguments);
    QFETCH(QString, inventory);
    QFETCH(QString, complaint);
    QStringList all = words(arguments);
    QTemporaryDir dir;
    if (!inventory.isEmpty()) {
        all += writeInventory(dir, inventory);
        if (complaint.startsWith(u':'))
            complaint.prepend(all.last());
    }
    const Result result = qv7ctl(all);
    QCOMPARE(result.exitCode, 64);
    QVERIFY2(result.err.contains(complaint), qPrintable(result.err));
    QCOMPARE(result.out, QStringList());
}

QTEST_GUILESS_MAIN(TstCtl)
#include "tst_ctl.moc"
