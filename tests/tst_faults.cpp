// The real line at its worst: a far end that goes away, rubbish, a far end that stops
// reading, a device the user may not open, and a long hold on a healthy line.

#include "protocol/rendering.h"

#include "support/enginefixture.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qv7;

namespace {

// Brings the arrows to a 5 ms repeat (a D.Zoom release) and holds "right".
void holdAt5Milliseconds(test::EngineOnLine &fixture)
{
    fixture.press("Command48");
    fixture.release("Command48");
    fixture.press("Command8");
    QCOMPARE(fixture.timer("Timer1")->interval(), 5);
}

} // namespace

class TstFaults : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void farEndGoesAway_data();
    void farEndGoesAway();
    void rubbishOnTheLine_data();
    void rubbishOnTheLine();
    void streamWithoutPauseLeavesClicksAnswered();
    void farEndStopsReading();
    void permissionDenied();
    void healthyLineKeepsEveryCommandWhole();
};

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
    const QString adapter = directory.filePath(QStringLiteral("ttyUSB0"));
    auto line = std::make_unique<test::PtyPair>();
    QVERIFY(QFile::link(line->slavePath(), adapter));
    test::EngineOnLine fixture;
    Engine &engine = fixture.engine;
    engine.MSComm1().setDevice(1, adapter);
    QVERIFY(engine.switchPort(1));
    QSignalSpy reports(&engine, &Engine::failed);
    if (holding) {
        holdAt5Milliseconds(fixture);
        QCOMPARE(line->read(40).size(), 40);
    }

    const QString node = line->slavePath();
    line.reset();
    QVERIFY(!QFile::exists(node));
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.first().first().value<Failure>().kind, FailureKind::Lost);
    QVERIFY2(
        reports.first().first().value<Failure>().description.contains(QLatin1String("went away")),
        qPrintable(reports.first().first().value<Failure>().description));
    QVERIFY(!engine.MSComm1().PortOpen());
    QVERIFY(!fixture.timer("Timer1")->isActive());
    QCOMPARE(engine.HeldButton(), std::uint8_t(0));
    // Idle afterwards: a second of waiting costs next to nothing, where a spinning port
    // costs the whole second.
    const double cpuBefore = test::processCpuSeconds();
    QTest::qWait(1000);
    const double cpu = test::processCpuSeconds() - cpuBefore;
    qInfo("CPU in the idle second after the loss: %.0f ms", cpu * 1000);
    QVERIFY(cpu < 0.5);
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

void TstFaults::rubbishOnTheLine_data()
{
    QTest::addColumn<QByteArray>("rubbish");
    QByteArray random(4096, '\0');
    QRandomGenerator generator(7);
    for (char &byte : random)
        byte = char(generator.bounded(256));
    QByteArray controls;
    for (int c = 0; c < 32; ++c)
        controls += char(c);
    controls += char(127);
    QByteArray burst(64 * 1024, '\0');
    for (int i = 0; i < burst.size(); ++i)
        burst[i] = char((i * 7919) & 0xff);
    QTest::newRow("random bytes") << random;
    QTest::newRow("NUL and 0xFF") << QByteArray("\0\xff\0\xff\xff\0", 6);
    QTest::newRow("every control character") << controls;
    QTest::newRow("64 KiB burst") << burst;
}

void TstFaults::rubbishOnTheLine()
{
    QFETCH(QByteArray, rubbish);
    test::EngineOnLine fixture;
    const Engine &engine = fixture.engine;
    const QByteArray marker = "<end>";
    fixture.line.write(rubbish + marker);
    QTRY_VERIFY_WITH_TIMEOUT(QByteArray::fromStdString(engine.ReceivedText()).endsWith(marker),
                             20000);
    // Nothing closed a reply window: the newest part of everything, each byte one token.
    const QByteArray expected = (rubbish + marker).right(int(kMaxRenderedChars));
    QCOMPARE(QByteArray::fromStdString(engine.ReceivedText()), expected);
    QCOMPARE(engine.rxd(), QString::fromLatin1(renderTraffic(expected.toStdString())));
    QVERIFY(fixture.click("Command17"));
    QCOMPARE(fixture.line.read(4), QByteArray("C00\r"));
    QVERIFY(fixture.failures.isEmpty());
}

void TstFaults::streamWithoutPauseLeavesClicksAnswered()
{
    test::EngineOnLine fixture;
    // The projector's thread stops and is joined however this test ends.
    std::jthread projector([&fixture](const std::stop_token &stop) {
        const QByteArray chunk(512, '\x55');
        while (!stop.stop_requested())
            if (::write(fixture.line.masterFd(), chunk.constData(), size_t(chunk.size())) < 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    QTest::qWait(300);
    for (int i = 0; i < 5; ++i) {
        QVERIFY(fixture.click("Command18"));
        QCOMPARE(fixture.line.read(4), QByteArray("C02\r"));
        QVERIFY(fixture.engine.ReceivedText().size() <= kMaxRenderedChars);
        QTest::qWait(100);
    }
    QVERIFY(fixture.failures.isEmpty());
}

void TstFaults::farEndStopsReading()
{
    // Nobody reads the master. Another writer has filled the kernel's buffer already, so the
    // engine's own 512 bytes are next.
    test::EngineOnLine fixture;
    Engine &engine = fixture.engine;
    QSignalSpy reports(&engine, &Engine::failed);
    const int filler = ::open(QFile::encodeName(fixture.line.slavePath()).constData(),
                              O_WRONLY | O_NONBLOCK | O_NOCTTY);
    QVERIFY(filler >= 0);
    const QByteArray block(4096, 'F');
    while (::write(filler, block.constData(), size_t(block.size())) > 0) {
    }
    ::close(filler);
    holdAt5Milliseconds(fixture);
    QVERIFY2(reports.wait(120000), "a hold on a full line was never reported");
    QVERIFY2(reports.first().first().value<Failure>().description.contains(
                 QLatin1String("transmit buffer is full")),
             qPrintable(reports.first().first().value<Failure>().description));
    QVERIFY(!fixture.timer("Timer1")->isActive());
    QCOMPARE(engine.HeldButton(), std::uint8_t(0));
    fixture.release("Command8");
    QTest::qWait(200);
    QCOMPARE(reports.count(), 1);
    // Once the far end reads again, what was queued goes out whole and the engine sends on.
    const QByteArray drained = fixture.line.readAll().replace('F', QByteArray());
    QVERIFY(drained.startsWith("C30\r")); // the D.Zoom press before the hold
    const QByteArray held = drained.mid(4);
    QCOMPARE(held, QByteArray("C3A\r").repeated(held.size() / 4));
    QVERIFY(engine.MSComm1().PortOpen());
    QVERIFY(fixture.click("Command17"));
    QCOMPARE(fixture.line.read(4), QByteArray("C00\r"));
}

void TstFaults::permissionDenied()
{
    test::PtyPair line;
    const QByteArray device = QFile::encodeName(line.slavePath());
    QCOMPARE(::chmod(device.constData(), 0), 0);
    const QString probe = QCoreApplication::applicationDirPath() + QStringLiteral("/openprobe");
    QProcess process;
    if (::geteuid() == 0) // root opens anything: ask as an ordinary user
        process.start(QStringLiteral("setpriv"),
                      {QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), probe, line.slavePath()});
    else
        process.start(probe, {line.slavePath()});
    QVERIFY(process.waitForFinished(30000));
    const QString said = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (::geteuid() != 0)
        QSKIP("the expected text names the user; run as root to ask as user nobody");
    QCOMPARE(said, QStringLiteral("COM1 (%1): permission denied; the device belongs to group %2 "
                                  "and user nobody is not in it: run 'sudo usermod -aG %2 "
                                  "nobody', then log out and in again")
                       .arg(line.slavePath(), QFileInfo(line.slavePath()).group()));
}

void TstFaults::healthyLineKeepsEveryCommandWhole()
{
    // A few seconds of a 5 ms hold; bench/bench_soak runs it for as long as asked.
    const int seconds = qEnvironmentVariableIntValue("QV7_SOAK_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("QV7_SOAK_SECONDS")
                            : 3;
    test::EngineOnLine fixture;
    fixture.press("Command48");
    fixture.release("Command48");
    QCOMPARE(fixture.line.read(4), QByteArray("C30\r"));
    long sent = 0;
    QObject counter;
    QObject::connect(fixture.timer("Timer1"), &QTimer::timeout, &counter, [&] {
        if (fixture.engine.HeldButton() != 0)
            ++sent;
    });
    fixture.press("Command8");
    ++sent;
    const QByteArray received = fixture.line.read(1 << 30, seconds * 1000);
    fixture.release("Command8");
    const QByteArray all = received + fixture.line.readAll();
    qInfo("%ld commands sent, %lld received in %d s", sent, all.size() / 4, seconds);
    QCOMPARE(all, QByteArray("C3A\r").repeated(all.size() / 4));
    QCOMPARE(long(all.size() / 4), sent);
    QVERIFY(fixture.failures.isEmpty());
}

QTEST_GUILESS_MAIN(TstFaults)
#include "tst_faults.moc"
