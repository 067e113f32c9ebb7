// The Windows release under Wine: qv7ctl.exe and the panel from the zip, then the installer and
// its uninstaller, in a fresh Wine prefix on the X server this test is given, with COM1 on a
// pseudo-terminal that the Linux simulated projector serves. QV7_WINDOWS_RELEASE names the
// folder with the zip and the installer.

#include "panel/form1.h"
#include "layout/layout.h"
#include "sim/server.h"

#include <QApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>

using namespace Qt::StringLiterals;
using qv7::sim::SimulatorServer;

namespace {

const QString kCaption = u"QV7  CONTROL"_s;
const QString kInstallKey = uR"(HKLM\Software\qv7rsc developers\qv7rsc)"_s;
const QString kUninstallKey =
    uR"(HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\qv7rsc)"_s;

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

// Waits for a process while the simulator's events go on; one still running is a fault.
Result finish(QProcess &process, int timeoutMs)
{
    [&] { QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, timeoutMs); }();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// A Wine prefix of the test's own; Wine's Mono and Gecko installers are kept away.
class Wine {
public:
    explicit Wine(const QString &prefix)
    {
        environment_ = QProcessEnvironment::systemEnvironment();
        environment_.insert(u"WINEPREFIX"_s, prefix);
        environment_.insert(u"WINEDLLOVERRIDES"_s, u"mscoree,mshtml="_s);
        environment_.insert(u"WINEDEBUG"_s, u"-all"_s);
        prefix_ = prefix;
    }
    ~Wine() { stopAll(); }

    QString drive(const QString &path) const { return prefix_ + u"/drive_c/"_s + path; }

    std::unique_ptr<QProcess> start(const QString &program, const QStringList &arguments) const
    {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(environment_);
        process->start(program, arguments);
        return process;
    }
    Result run(const QString &program, const QStringList &arguments, int timeoutMs = 60000) const
    {
        return finish(*start(program, arguments), timeoutMs);
    }
    Result wine(const QStringList &arguments, int timeoutMs = 60000) const
    {
        return run(u"wine"_s, arguments, timeoutMs);
    }
    // Every Windows process of the prefix, ended.
    void stopAll() const { run(u"wineserver"_s, {u"-k"_s}); }
    // Until every Windows process of the prefix has ended by itself.
    void waitAll(int timeoutMs) const { run(u"wineserver"_s, {u"-w"_s}, timeoutMs); }

private:
    QProcessEnvironment environment_;
    QString prefix_;
};

// The panel's top-level X window, by its caption.
QString findWindow()
{
    QProcess search;
    search.start(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s, kCaption});
    search.waitForFinished();
    return QString::fromLatin1(search.readAllStandardOutput()).split(u'\n').value(0).trimmed();
}

QRect windowGeometry(const QString &window)
{
    QProcess query;
    query.start(u"xdotool"_s, {u"getwindowgeometry"_s, u"--shell"_s, window});
    query.waitForFinished();
    QMap<QString, int> values;
    for (const QString &line : QString::fromLatin1(query.readAllStandardOutput()).split(u'\n')) {
        const QStringList pair = line.split(u'=');
        if (pair.size() == 2)
            values[pair[0]] = pair[1].toInt();
    }
    return {values[u"X"_s], values[u"Y"_s], values[u"WIDTH"_s], values[u"HEIGHT"_s]};
}

void xdotool(const QStringList &arguments)
{
    QProcess::execute(u"xdotool"_s, arguments);
}

// Clicks until done() holds: a window just shown may not take the first click yet, nor one
// while its network port connects.
bool clickUntil(const QPoint &at, const std::function<bool()> &done)
{
    for (int attempt = 0; attempt < 20 && !done(); ++attempt) {
        xdotool(
            {u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s});
        if (QTest::qWaitFor(done, 500))
            return true;
    }
    return done();
}

int count(const QStringList &log, const QString &code)
{
    // The simulator logs a command as the panel renders it: "in  C 0 9 CR".
    QString rendered = u"in  "_s;
    for (const QChar c : code)
        rendered += c + u' ';
    return int(log.filter(rendered + u"CR"_s).size());
}

} // namespace

class TstWine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void ctl_data();
    void ctl();
    void panelButtons();
    void simulate();
    void installer();

private:
    // Where on the screen a control of the panel's window is, the window being at window.
    QPoint onScreen(const QString &window, const char *control) const;
    QString waitForWindow();

    QString release_;
    QTemporaryDir dir_;
    std::unique_ptr<Wine> wine_;
    std::unique_ptr<SimulatorServer> projector_;
    QStringList log_;
    QString zipBin_;
    mutable std::unique_ptr<qv7::Form1> layout_; // the panel, built here, for its geometry
};

void TstWine::initTestCase()
{
    release_ = qEnvironmentVariable("QV7_WINDOWS_RELEASE");
    if (release_.isEmpty())
        QSKIP("QV7_WINDOWS_RELEASE names no release; scripts/windows.sh runs this test");
    QVERIFY(dir_.isValid());

    projector_ = std::make_unique<SimulatorServer>();
    QVERIFY2(projector_->openPseudoTerminal(), qPrintable(projector_->errorString()));
    connect(projector_.get(), &SimulatorServer::trafficLogged, this,
            [this](const QString &line) { log_ << line; });

    wine_ = std::make_unique<Wine>(dir_.filePath(u"prefix"_s));
    QCOMPARE(wine_->run(u"wineboot"_s, {u"-i"_s}, 180000).exitCode, 0);
    wine_->waitAll(180000);
    const Result mapped =
        wine_->wine({u"reg"_s, u"add"_s, uR"(HKLM\Software\Wine\Ports)"_s, u"/v"_s, u"COM1"_s,
                     u"/t"_s, u"REG_SZ"_s, u"/d"_s, projector_->portName(), u"/f"_s});
    QCOMPARE(mapped.exitCode, 0);
    // Wine reads its port map when its server starts.
    wine_->stopAll();

    const QStringList zips = QDir(release_).entryList({u"qv7rsc-*-win64.zip"_s});
    QCOMPARE(zips.size(), 1);
    QProcess unpack;
    unpack.setWorkingDirectory(dir_.path());
    unpack.start(u"cmake"_s, {u"-E"_s, u"tar"_s, u"xf"_s, QDir(release_).filePath(zips[0])});
    QVERIFY(unpack.waitForFinished(60000) && unpack.exitCode() == 0);
    zipBin_ = dir_.filePath(QFileInfo(zips[0]).completeBaseName() + u"/bin"_s);
    QVERIFY(QFile::exists(zipBin_ + u"/qv7ctl.exe"_s));
}

// A function that failed half-way leaves no Windows program behind to stall the next.
void TstWine::cleanup()
{
    wine_->stopAll();
}

void TstWine::ctl_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("printed"); // a pattern of standard output
    QTest::addColumn<QString>("sent");    // a code the projector must have received
    QTest::addColumn<QString>("complaint");

    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString refused = u"tcp://127.0.0.1:%1"_s.arg(closed.serverPort());
    closed.close();

    QTest::newRow("status") << QStringList{u"--port"_s, u"COM1"_s, u"status"_s} << 0
                            << u"Stand by"_s << u"CR0"_s << QString();
    QTest::newRow("power on") << QStringList{u"--port"_s, u"COM1"_s, u"power"_s, u"on"_s} << 0
                              << QString() << u"C00"_s << QString();
    QTest::newRow("json") << QStringList{u"--port"_s, u"COM1"_s, u"--json"_s, u"status"_s} << 0
                          << u"^\\{.*\"power\".*\\}$"_s << u"CR0"_s << QString();
    QTest::newRow("no such port") << QStringList{u"--port"_s, u"COM7"_s, u"status"_s} << 74
                                  << QString() << QString() << u"COM7: no such port"_s;
    QTest::newRow("refused") << QStringList{u"--port"_s, refused, u"status"_s} << 74 << QString()
                             << QString() << refused + u": "_s;
}

void TstWine::ctl()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, printed);
    QFETCH(QString, sent);
    QFETCH(QString, complaint);

    log_.clear();
    const Result result = wine_->wine(QStringList{zipBin_ + u"/qv7ctl.exe"_s} + arguments, 120000);
    QVERIFY2(result.exitCode == exitCode,
             qPrintable(u"exit %1: %2"_s.arg(result.exitCode).arg(result.err)));
    if (!printed.isEmpty())
        QVERIFY2(QRegularExpression(printed, QRegularExpression::MultilineOption)
                     .match(result.out.trimmed())
                     .hasMatch(),
                 qPrintable(result.out));
    if (!sent.isEmpty())
        QTRY_VERIFY2(count(log_, sent) >= 1, qPrintable(log_.join(u'\n')));
    if (complaint.isEmpty()) {
        QVERIFY2(result.err.isEmpty(), qPrintable(result.err));
    } else {
        // One line, naming what was wrong.
        QCOMPARE(result.err.trimmed().count(u'\n'), 0);
        QVERIFY2(result.err.contains(complaint), qPrintable(result.err));
    }
    if (QJsonDocument::fromJson(result.out.toUtf8()).isObject())
        QVERIFY(QJsonDocument::fromJson(result.out.toUtf8()).object().contains(u"power"_s));
}

QPoint TstWine::onScreen(const QString &window, const char *control) const
{
    // The panel's own layout, built here, says where its controls are in the window.
    if (!layout_)
        layout_ = std::make_unique<qv7::Form1>();
    const QWidget *widget = layout_->control(QString::fromLatin1(control));
    const QPoint inClient = widget->mapTo(layout_.get(), widget->rect().center());
    const qv7::FormLayout &layout = qv7::formLayout();
    const QSize client(
        qv7::twipsToPixels(layout.width - 2 * layout.frameWidth),
        qv7::twipsToPixels(qv7::kStartHeight - layout.titleHeight - layout.frameWidth));
    // Without a window manager Wine draws the frame and the caption inside its X window.
    const QRect outer = windowGeometry(window);
    const int border = (outer.width() - client.width()) / 2;
    const int caption = outer.height() - client.height() - border;
    return outer.topLeft() + QPoint(border, caption) + inClient;
}

QString TstWine::waitForWindow()
{
    QString window;
    [&] { QTRY_VERIFY_WITH_TIMEOUT(!(window = findWindow()).isEmpty(), 60000); }();
    return window;
}

void TstWine::panelButtons()
{
    log_.clear();
    auto panel = wine_->start(u"wine"_s, {zipBin_ + u"/qv7rsc.exe"_s});
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());

    const bool clicked =
        clickUntil(onScreen(window, "Command17"), [&] { return count(log_, u"C00"_s) > 0; });
    QVERIFY2(clicked, qPrintable(log_.join(u'\n')));

    // VOL + repeats every 250 ms while it is held, and stops when it is let go.
    const QPoint volumeUp = onScreen(window, "Command1");
    xdotool({u"mousemove"_s, QString::number(volumeUp.x()), QString::number(volumeUp.y()),
             u"mousedown"_s, u"1"_s});
    QTRY_VERIFY2_WITH_TIMEOUT(count(log_, u"C09"_s) >= 4, qPrintable(log_.join(u'\n')), 10000);
    xdotool({u"mouseup"_s, u"1"_s});
    QTest::qWait(1000);
    const int held = count(log_, u"C09"_s);
    QTest::qWait(1000);
    QCOMPARE(count(log_, u"C09"_s), held);

    wine_->stopAll();
    finish(*panel, 30000);
}

void TstWine::simulate()
{
    // The projector inside the panel, on a loopback port: its log is the panel's output.
    auto panel = wine_->start(u"wine"_s, {zipBin_ + u"/qv7rsc.exe"_s, u"--simulate"_s});
    const QString window = waitForWindow();
    QVERIFY(!window.isEmpty());
    QString output;
    const auto read = [&] { return output += QString::fromUtf8(panel->readAllStandardOutput()); };
    QTRY_VERIFY2_WITH_TIMEOUT(read().contains(u"Simulated projector on tcp://127.0.0.1:"_s),
                              qPrintable(output), 10000);
    const bool clicked = clickUntil(onScreen(window, "Command17"),
                                    [&] { return read().contains(u"in  C 0 0 CR"_s); });
    QVERIFY2(clicked, qPrintable(output));
    wine_->stopAll();
    finish(*panel, 30000);
}

void TstWine::installer()
{
    const QStringList installers = QDir(release_).entryList({u"qv7rsc-*-win64.exe"_s});
    QCOMPARE(installers.size(), 1);
    QCOMPARE(wine_->wine({QDir(release_).filePath(installers[0]), u"/S"_s}, 180000).exitCode, 0);
    wine_->waitAll(180000);

    const QString installed = wine_->drive(u"Program Files/qv7rsc"_s);
    const QString menu =
        wine_->drive(u"ProgramData/Microsoft/Windows/Start Menu/Programs/QV7 Projector Panel"_s);
    QVERIFY(QFile::exists(installed + u"/bin/qv7rsc.exe"_s));
    QVERIFY(QFile::exists(installed + u"/bin/platforms/qwindows.dll"_s));
    QVERIFY2(QFile::exists(menu + u"/QV7 Projector Panel.lnk"_s),
             qPrintable(QDir(menu).entryList().join(u", "_s)));
    const Result entry =
        wine_->wine({u"reg"_s, u"query"_s, kUninstallKey, u"/v"_s, u"DisplayName"_s});
    QVERIFY2(entry.out.contains(u"QV7 Projector Panel"_s), qPrintable(entry.out + entry.err));
    QCOMPARE(wine_->wine({u"reg"_s, u"query"_s, kInstallKey}).exitCode, 0);

    log_.clear();
    auto panel = wine_->start(u"wine"_s, {installed + u"/bin/qv7rsc.exe"_s});
    QVERIFY(!waitForWindow().isEmpty());
    wine_->stopAll();
    finish(*panel, 30000);

    QCOMPARE(wine_->wine({installed + u"/Uninstall.exe"_s, u"/S"_s}, 120000).exitCode, 0);
    // The uninstaller goes on in a copy of itself, so that it can remove its own file.
    wine_->waitAll(120000);
    QVERIFY2(!QFileInfo::exists(installed),
             qPrintable(
                 QDir(installed).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).join(u", "_s)));
    QVERIFY(!QFileInfo::exists(menu));
    QVERIFY(wine_->wine({u"reg"_s, u"query"_s, kUninstallKey}).exitCode != 0);
    QVERIFY(wine_->wine({u"reg"_s, u"query"_s, kInstallKey}).exitCode != 0);
}

QTEST_MAIN(TstWine)
#include "tst_wine.moc"
