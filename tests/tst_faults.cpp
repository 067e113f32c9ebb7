// A real serial line at its worst: an adapter that goes away, a projector that stops reading,
// a device the user may not open or another program holds.

#include "support/enginefixture.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace qv7;
using namespace Qt::StringLiterals;

namespace {

// Brings the arrows to a 5 ms repeat (a D.Zoom release) and holds "right".
void holdAt5Milliseconds(test::EngineOnLine &fixture)
{
    fixture.press("Command48");
    fixture.release("Command48");
    fixture.press("Command8");
    QCOMPARE(fixture.engine.designState().Timer1.interval, 5);
}

QString description(const QSignalSpy &reports)
{
    return reports.first().first().value<Failure>().description;
}

} // namespace

class TstFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void farEndGoesAway_data();
    void farEndGoesAway();
    void farEndStopsReading();
    void permissionDenied();
    void staleLockFile_data();
    void staleLockFile();
    void inUseUnderAnotherName_data();
    void inUseUnderAnotherName();
};

namespace {

// What opening the device as user nobody reports.
QString openedAsNobody(const QString &device)
{
    QProcess probe;
    probe.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                               QCoreApplication::applicationDirPath() + u"/openprobe"_s, device});
    if (!probe.waitForFinished(30000))
        return u"openprobe did not finish"_s;
    return QString::fromLocal8Bit(probe.readAllStandardOutput()).trimmed();
}

} // namespace

void TstFaults::farEndGoesAway_data()
{
    QTest::addColumn<bool>("holding");
    QTest::newRow("idle") << false;
    QTest::newRow("in a 5 ms hold") << true;
}

void TstFaults::farEndGoesAway()
{
    QFETCH(bool, holding);
    // COM1 is a link to the adapter, as a udev name would be; the adapter is unplugged and
    // plugged in again.
    QTemporaryDir directory;
    const QString adapter = directory.filePath(u"ttyUSB0"_s);
    auto line = std::make_unique<test::PtyPair>();
    QVERIFY(QFile::link(line->slavePath(), adapter));
    test::EngineOnLine fixture;
    Line &engine = fixture.engine;
    engine.setDevice(1, adapter);
    QVERIFY(engine.switchPort(1));
    QSignalSpy reports(&engine, &Line::failed);
    if (holding) {
        holdAt5Milliseconds(fixture);
        QCOMPARE(line->read(40).size(), 40);
    }
    line.reset();
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.first().first().value<Failure>().kind, FailureKind::Lost);
    QVERIFY2(description(reports).contains("went away"_L1), qPrintable(description(reports)));
    QVERIFY(!engine.isOpen());
    // Closed once: a second of waiting costs next to nothing, where a port left open spins
    // on its read errors for the whole second.
    const double cpuBefore = test::processCpuSeconds();
    QTest::qWait(1000);
    QVERIFY(test::processCpuSeconds() - cpuBefore < 0.5);
    QCOMPARE(reports.count(), 1);
    if (holding)
        fixture.release("Command8");

    line = std::make_unique<test::PtyPair>();
    QVERIFY(QFile::remove(adapter));
    QVERIFY(QFile::link(line->slavePath(), adapter));
    QVERIFY(engine.switchPort(1));
    QVERIFY(fixture.click("Command17"));
    QCOMPARE(line->read(4), QByteArray("C00\r"));
    QCOMPARE(reports.count(), 1);
}

void TstFaults::farEndStopsReading()
{
    // Nobody reads the master. Another writer has filled the kernel's buffer already, so the
    // engine's own 512 bytes are next.
    test::EngineOnLine fixture;
    Line &engine = fixture.engine;
    QSignalSpy reports(&engine, &Line::failed);
    const int filler = ::open(QFile::encodeName(fixture.line.slavePath()).constData(),
                              O_WRONLY | O_NONBLOCK | O_NOCTTY);
    QVERIFY(filler >= 0);
    const QByteArray block(4096, 'F');
    while (::write(filler, block.constData(), size_t(block.size())) > 0) {
    }
    ::close(filler);
    holdAt5Milliseconds(fixture);
    QVERIFY2(reports.wait(120000), "a hold on a full line was never reported");
    QVERIFY2(description(reports).contains("transmit buffer is full"_L1),
             qPrintable(description(reports)));
    QVERIFY(!fixture.engine.designState().Timer1.enabled);
    fixture.release("Command8");
    // A second report would come from the event loop.
    QCoreApplication::processEvents();
    QCOMPARE(reports.count(), 1);
    // Once the far end reads again, what was queued goes out whole and the engine sends on.
    const QByteArray drained = fixture.line.readAll().replace('F', QByteArray());
    QVERIFY(drained.startsWith("C30\r")); // the D.Zoom press before the hold
    const QByteArray held = drained.mid(4);
    QCOMPARE(held, QByteArray("C3A\r").repeated(held.size() / 4));
    QVERIFY(fixture.click("Command17"));
    QCOMPARE(fixture.line.read(4), QByteArray("C00\r"));
}

void TstFaults::permissionDenied()
{
    if (::geteuid() != 0)
        QSKIP("run as root: the test gives the device a group and asks as user nobody");
    // A device of the usual group, which user nobody is not in.
    test::PtyPair line;
    const QByteArray device = QFile::encodeName(line.slavePath());
    const group *dialout = ::getgrnam("dialout");
    QVERIFY(dialout);
    QCOMPARE(::chown(device.constData(), uid_t(-1), dialout->gr_gid), 0);
    QCOMPARE(::chmod(device.constData(), 0660), 0);
    QCOMPARE(openedAsNobody(line.slavePath()),
             u"permission-denied: COM1 (%1): permission denied; the device belongs to group "
             u"dialout and user nobody "
             "is not in it: run 'sudo usermod -aG dialout nobody', then log out and in again"_s.arg(
                 line.slavePath()));
}

void TstFaults::staleLockFile_data()
{
    // What a program that is no longer running left in the lock file (%1: its process id), and
    // how it is named.
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("program");
    QTest::newRow("this program's") << u"%1\nqv7ctl\nstage\n"_s << u"qv7ctl (pid %1)"_s;
    QTest::newRow("a UUCP lock") << u"%1 minicom root\n"_s.rightJustified(26)
                                 << u"minicom (pid %1)"_s;
    QTest::newRow("a process id alone") << u"%1\n"_s << u"pid %1"_s;
}

void TstFaults::staleLockFile()
{
    QFETCH(QString, content);
    QFETCH(QString, program);
    if (::geteuid() != 0 || !QFileInfo(u"/var/lock"_s).isDir())
        QSKIP("run as root: the test leaves root's lock file in /var/lock, and opens as nobody");
    test::PtyPair line;
    QCOMPARE(::chmod(QFile::encodeName(line.slavePath()).constData(), 0666), 0);
    QProcess gone;
    gone.start(u"true"_s);
    QVERIFY(gone.waitForStarted());
    const QString pid = QString::number(gone.processId());
    QVERIFY(gone.waitForFinished());
    QFile lock(u"/var/lock/LCK.."_s + line.slavePath().sliced(5).replace(u'/', u'_'));
    QVERIFY(lock.open(QIODevice::WriteOnly) && lock.write(content.arg(pid).toLatin1()) > 0);
    lock.close();
    const auto cleanUp = qScopeGuard([&lock] { lock.remove(); });
    // Nobody holds the device: the lock file is the trouble, and nobody but root may remove it.
    QCOMPARE(openedAsNobody(line.slavePath()),
             u"permission-denied: COM1 (%1): the lock file %2 was left by %3, which is no longer "
             "running, and user nobody may not remove it: remove the file as its owner or as "
             "root (sudo rm %2)"_s.arg(line.slavePath(), lock.fileName(), program.arg(pid)));
}

void TstFaults::inUseUnderAnotherName_data()
{
    // The device is held, and asked for through a link to it, as a udev name would be.
    QTest::addColumn<bool>("byProcess");
    QTest::addColumn<QString>("holder"); // %1: the holding process's id
    QTest::newRow("by a port of this program") << false << u"another program"_s;
    QTest::newRow("by a process that takes no lock") << true << u"sh (pid %1)"_s;
}

void TstFaults::inUseUnderAnotherName()
{
    QFETCH(bool, byProcess);
    QFETCH(QString, holder);
    test::PtyPair line;
    QTemporaryDir directory;
    const QString link = directory.filePath(u"ttyUSB0"_s);
    QVERIFY(QFile::link(line.slavePath(), link));
    SerialControl first, second;
    first.setDevice(1, line.slavePath());
    second.setDevice(1, link);
    QProcess shell; // holds the device from its redirection until its input closes
    if (byProcess) {
        shell.start(u"sh"_s, {u"-c"_s, u"exec 3<>\"$0\"; echo; read x"_s, line.slavePath()});
        QVERIFY(shell.waitForReadyRead(10000));
    } else {
        first.setPortOpen(true);
    }
    try {
        // A lock refuses the open. A process that takes none is looked for once a reply goes
        // missing; the search closes the port it finds shared.
        second.setPortOpen(true);
        QVERIFY(byProcess);
        second.refuseIfShared();
        QFAIL("a device in use was not refused");
    } catch (const CommError &error) {
        QCOMPARE(error.kind(), FailureKind::InUse);
        QCOMPARE(error.description(),
                 u"COM1 (%1 → %2): in use by %3; close it and try again"_s.arg(
                     link, line.slavePath(), byProcess ? holder.arg(shell.processId()) : holder));
        QVERIFY(!second.PortOpen());
    }
    shell.closeWriteChannel();
    shell.waitForFinished();
    first.setPortOpen(false);
    // Alone on the line, the port is not refused.
    second.setPortOpen(true);
    second.refuseIfShared();
    QVERIFY(second.PortOpen());
}

QTEST_GUILESS_MAIN(TstFaults)
#include "tst_faults.moc"
