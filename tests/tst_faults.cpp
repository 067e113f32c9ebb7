// The real line at its worst: a far end that goes away, rubbish, a far end that stops
// reading, a device the user may not open, and a long hold on a healthy line.

#include "protocol/rendering.h"

#include "support/panelfixture.h"

#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace qv7;

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
    const auto panel = test::startPanel(adapter);
    Form1 &form = *panel->form;
    QSignalSpy reports(&form, &Form1::failureReported);
    if (holding) {
        test::holdAt5Milliseconds(form);
        QVERIFY(line->read(40).size() == 40);
    }

    const QString node = line->slavePath();
    line.reset();
    QVERIFY(!QFile::exists(node));
    QVERIFY(reports.wait(5000));
    QVERIFY2(reports.first().first().toString().contains(QLatin1String("went away")),
             qPrintable(reports.first().first().toString()));
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    // Idle afterwards: a second of waiting costs next to nothing, where a spinning port
    // costs the whole second.
    const double cpuBefore = test::processCpuSeconds();
    QTest::qWait(1000);
    const double cpu = test::processCpuSeconds() - cpuBefore;
    qInfo("CPU in the idle second after the loss: %.0f ms", cpu * 1000);
    QVERIFY(cpu < 0.5);
    QCOMPARE(reports.count(), 1);
    if (holding)
        QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);

    line = std::make_unique<test::PtyPair>();
    QVERIFY(QFile::remove(adapter));
    QVERIFY(QFile::link(line->slavePath(), adapter));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
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
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    const QByteArray marker = "<end>";
    line.write(rubbish + marker);
    QTRY_VERIFY_WITH_TIMEOUT(
        QByteArray::fromStdString(form.engine().ReceivedText()).endsWith(marker), 20000);
    // Nothing closed a reply window: the newest part of everything, each byte one token.
    const QByteArray expected = (rubbish + marker).right(int(kMaxRenderedChars));
    QCOMPARE(QByteArray::fromStdString(form.engine().ReceivedText()), expected);
    QCOMPARE(test::widget<QLabel>(form, "Label12")->text(),
             QString::fromLatin1(renderTraffic(expected.toStdString())));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(line.read(4), QByteArray("C00\r"));
    QVERIFY(panel->failures.isEmpty());
}

void TstFaults::streamWithoutPauseLeavesClicksAnswered()
{
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);
    std::atomic<bool> streaming{true};
    std::thread projector([&] {
        const QByteArray chunk(512, '\x55');
        while (streaming)
            if (::write(line.masterFd(), chunk.constData(), size_t(chunk.size())) < 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    QTest::qWait(300);
    for (int i = 0; i < 5; ++i) {
        QTest::mouseClick(test::widget<CommandButton>(form, "Command18"), Qt::LeftButton);
        QCOMPARE(line.read(4), QByteArray("C02\r"));
        QVERIFY(form.engine().ReceivedText().size() <= kMaxRenderedChars);
        QTest::qWait(100);
    }
    streaming = false;
    projector.join();
    QVERIFY(panel->failures.isEmpty());
}

void TstFaults::farEndStopsReading()
{
    // Nobody reads the master. Another writer has filled the kernel's buffer already, so the
    // panel's own 512 bytes are next.
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    QSignalSpy reports(&form, &Form1::failureReported);
    const int filler =
        ::open(QFile::encodeName(line.slavePath()).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY);
    QVERIFY(filler >= 0);
    const QByteArray block(4096, 'F');
    while (::write(filler, block.constData(), size_t(block.size())) > 0) {
    }
    ::close(filler);
    test::holdAt5Milliseconds(form);
    QTRY_VERIFY_WITH_TIMEOUT(reports.count() == 1, 120000);
    QVERIFY2(reports.first().first().toString().contains(QLatin1String("transmit buffer is full")),
             qPrintable(reports.first().first().toString()));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    QTest::qWait(200);
    QCOMPARE(reports.count(), 1);
    // Once the far end reads again, what was queued goes out whole and the panel sends on.
    const QByteArray drained = line.readAll().replace('F', QByteArray());
    QVERIFY(drained.startsWith("C30\r")); // the D.Zoom press before the hold
    const QByteArray held = drained.mid(4);
    QCOMPARE(held, QByteArray("C3A\r").repeated(held.size() / 4));
    QVERIFY(form.engine().MSComm1().PortOpen());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(line.read(4), QByteArray("C00\r"));
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
    QCOMPARE(said, QStringLiteral("COM1 (%1): permission denied; is your user in the dialout "
                                  "group?")
                       .arg(line.slavePath()));
}

void TstFaults::healthyLineKeepsEveryCommandWhole()
{
    const int seconds = qEnvironmentVariableIntValue("QV7_SOAK_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("QV7_SOAK_SECONDS")
                            : 60;
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    QTest::mousePress(test::widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QCOMPARE(line.read(4), QByteArray("C30\r"));
    long sent = 0;
    QObject counter;
    QObject::connect(test::timer(form, "Timer1"), &QTimer::timeout, &counter, [&] {
        if (form.engine().HeldButton() != 0)
            ++sent;
    });
    QTest::mousePress(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    ++sent;
    const QByteArray received = line.read(1 << 30, seconds * 1000);
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    const QByteArray all = received + line.readAll();
    qInfo("%ld commands sent, %lld received in %d s", sent, all.size() / 4, seconds);
    QCOMPARE(all, QByteArray("C3A\r").repeated(all.size() / 4));
    QCOMPARE(long(all.size() / 4), sent);
    QVERIFY(panel->failures.isEmpty());
}

QTEST_MAIN(TstFaults)
#include "tst_faults.moc"
