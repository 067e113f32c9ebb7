// The line's behaviour without a window, over a real pseudo-terminal: what each button sends
// and shows, how replies are shown and decoded, the reply window and display time-out, the
// hold repetition and its profiles, and what a failure leaves behind.

#include "protocol/commandtable.h"
#include "protocol/rendering.h"

#include "support/enginefixture.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace qv7;

namespace {

QString rendered(const QByteArray &bytes)
{
    return QString::fromLatin1(renderTraffic(bytes.toStdString()));
}

QByteArray bytes(const std::string &text)
{
    return QByteArray::fromStdString(text);
}

} // namespace

class TstEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void oneShotSendsItsCode_data();
    void oneShotSendsItsCode();
    void everyButtonSendsItsRow();
    void replyInPieces_data();
    void replyInPieces();
    void lateReply_data();
    void lateReply();
    void replyWindowCloses_data();
    void replyWindowCloses();
    void replyWindowGathersAndThenStartsFresh();
    void replyWindowWithoutAwaitingChangesNoLine();
    void transmitRestartsTheReplyWindow();
    void fullTransmitBufferIsAFailureNotAReception();
    void holdPressTickAndRelease_data();
    void holdPressTickAndRelease();
    void pressAndQuickReleaseSendsOnce();
    void tickWithNothingHeldSendsNothing();
    void arrowProfiles_data();
    void arrowProfiles();
    void failedWriteIsReportedAndNotShown_data();
    void failedWriteIsReportedAndNotShown();
    void burstOfFailuresGivesOneReport();
    void failureEndsTheHoldAsARelease_data();
    void failureEndsTheHoldAsARelease();

private:
    // Clicks and takes the four bytes of the command off the line.
    void sent(const char *control);
    std::unique_ptr<test::EngineOnLine> fixture_;
};

void TstEngine::init()
{
    fixture_ = std::make_unique<test::EngineOnLine>();
    QVERIFY(fixture_->engine.MSComm1().PortOpen());
}

void TstEngine::cleanup()
{
    fixture_.reset();
}

void TstEngine::sent(const char *control)
{
    QVERIFY(fixture_->click(control));
    QCOMPARE(fixture_->line.read(4).size(), 4);
}

void TstEngine::oneShotSendsItsCode_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("Command17 POWER ON") << QByteArray("Command17") << QByteArray("C00\r");
    QTest::newRow("Command27 PC 1") << QByteArray("Command27") << QByteArray("C05\r");
    QTest::newRow("Command43 CURSOL") << QByteArray("Command43") << QByteArray("C4F\r");
    QTest::newRow("Command44 STATUS") << QByteArray("Command44") << QByteArray("CR0\r");
    QTest::newRow("Command52 C01") << QByteArray("Command52") << QByteArray("C01\r");
}

void TstEngine::oneShotSendsItsCode()
{
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, code);
    const Engine &engine = fixture_->engine;
    QVERIFY(fixture_->click(control.constData()));
    QCOMPARE(fixture_->line.read(4), code);
    QCOMPARE(fixture_->line.readAll(), QByteArray()); // nothing more than the code and its CR
    QCOMPARE(engine.txd(),
             QStringLiteral(" %1 %2 %3 CR ").arg(QChar(code[0]), QChar(code[1]), QChar(code[2])));
    QCOMPARE(bytes(engine.CurrentCommand()), code);
    QCOMPARE(engine.AwaitingReply(), std::uint8_t(1));
    QVERIFY(fixture_->timer("Timer2")->isActive());
    QVERIFY(fixture_->timer("Timer4")->isActive());
    QVERIFY(engine.rxd().isEmpty());
    QVERIFY(engine.status().isEmpty());
}

void TstEngine::everyButtonSendsItsRow()
{
    // Each row's own code and nothing else, whichever button it is.
    for (const OneShotCommand &row : kOneShotCommands) {
        QVERIFY(fixture_->click(row.control.data()));
        QCOMPARE(fixture_->line.read(4), QByteArray::fromStdString(commandString(row.code)));
    }
    for (const HoldCommand &row : kHoldCommands) {
        fixture_->press(row.control.data());
        fixture_->release(row.control.data());
        QCOMPARE(fixture_->line.read(4), QByteArray::fromStdString(commandString(row.code)));
    }
    QCOMPARE(fixture_->line.readAll(), QByteArray());
}

void TstEngine::replyInPieces_data()
{
    QTest::addColumn<QByteArray>("query");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QString>("statusAfterFirst");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("statusAfterSecond");
    QTest::newRow("power") << QByteArray("Command44") << QByteArray("0") << QString()
                           << QByteArray("0\r") << QStringLiteral(" Power ON");
    QTest::newRow("lamp hours") << QByteArray("Command46") << QByteArray("01")
                                << QStringLiteral(" 0 1  Hour Use") << QByteArray("23\r")
                                << QStringLiteral(" 0 1 2 3 Hour Use");
}

void TstEngine::replyInPieces()
{
    QFETCH(QByteArray, query);
    QFETCH(QByteArray, first);
    QFETCH(QString, statusAfterFirst);
    QFETCH(QByteArray, second);
    QFETCH(QString, statusAfterSecond);
    const Engine &engine = fixture_->engine;
    sent(query.constData());
    fixture_->line.write(first);
    QTRY_COMPARE(engine.rxd(), rendered(first));
    QCOMPARE(engine.status(), statusAfterFirst);
    fixture_->line.write(second);
    // The whole reply gathered so far, rendered and decoded again.
    QTRY_COMPARE(engine.rxd(), rendered(first + second));
    QCOMPARE(bytes(engine.ReceivedText()), first + second);
    QCOMPARE(engine.status(), statusAfterSecond);
}

void TstEngine::lateReply_data()
{
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("status");
    QTest::newRow("after a command: shown, not decoded") << QByteArray("Command17") << QString();
    QTest::newRow("after another query: decoded as its answer")
        << QByteArray("Command47") << QStringLiteral(" Top/Bottom reversal");
}

void TstEngine::lateReply()
{
    QFETCH(QByteArray, second);
    QFETCH(QString, status);
    sent("Command44");
    sent(second.constData());
    fixture_->line.write("10\r");
    QTRY_COMPARE(fixture_->engine.rxd(), QStringLiteral(" 1 0 CR "));
    QCOMPARE(fixture_->engine.status(), status);
}

void TstEngine::replyWindowCloses_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("rxd"); // when the reply window has closed
    QTest::addColumn<QString>("status");
    QTest::newRow("nothing came: marked")
        << QByteArray() << QStringLiteral(" X X X X") << QString();
    QTest::newRow("answered: the reply stays")
        << QByteArray("00\r") << QStringLiteral(" 0 0 CR ") << QStringLiteral(" Power ON");
}

void TstEngine::replyWindowCloses()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, rxd);
    QFETCH(QString, status);
    const Engine &engine = fixture_->engine;
    sent("Command44");
    fixture_->line.write(reply);
    QTRY_VERIFY_WITH_TIMEOUT(!fixture_->timer("Timer2")->isActive(), 10000);
    QCOMPARE(engine.rxd(), rxd);
    QCOMPARE(engine.status(), status);
    QCOMPARE(engine.txd(), QStringLiteral(" C R 0 CR "));
    QCOMPARE(engine.AwaitingReply(), std::uint8_t(0));
    QVERIFY(engine.ReceivedText().empty());
    // The display time-out then clears all three lines.
    QTRY_VERIFY_WITH_TIMEOUT(!fixture_->timer("Timer4")->isActive(), 10000);
    QVERIFY(engine.txd().isEmpty());
    QVERIFY(engine.rxd().isEmpty());
    QVERIFY(engine.status().isEmpty());
}

void TstEngine::replyWindowGathersAndThenStartsFresh()
{
    const Engine &engine = fixture_->engine;
    sent("Command17");
    fixture_->line.write("\x06");
    QTRY_COMPARE(engine.rxd(), QStringLiteral(" ACK "));
    fixture_->line.write("\r");
    QTRY_COMPARE(engine.rxd(), QStringLiteral(" ACK CR "));
    fixture_->engine.Timer2_Timer();
    QVERIFY(engine.ReceivedText().empty());
    QCOMPARE(engine.rxd(), QStringLiteral(" ACK CR "));
    fixture_->line.write("2");
    QTRY_COMPARE(engine.rxd(), QStringLiteral(" 2 "));
}

void TstEngine::replyWindowWithoutAwaitingChangesNoLine()
{
    Engine &engine = fixture_->engine;
    fixture_->line.write("stale");
    QTRY_COMPARE(engine.ReceivedText(), std::string("stale"));
    QSignalSpy rxd(&engine, &Engine::rxdChanged);
    fixture_->timer("Timer2")->start();
    engine.Timer2_Timer();
    QCOMPARE(rxd.count(), 0);
    QCOMPARE(engine.rxd(), rendered("stale"));
    QVERIFY(engine.ReceivedText().empty());
    QVERIFY(!fixture_->timer("Timer2")->isActive());
}

void TstEngine::transmitRestartsTheReplyWindow()
{
    // Both windows count from the latest transmit: after most of a reply window has gone by,
    // a second command gives it its full length again.
    fixture_->timer("Timer2")->setInterval(2000);
    fixture_->timer("Timer4")->setInterval(3000);
    sent("Command17");
    QTest::qWait(1200);
    QVERIFY(fixture_->timer("Timer2")->isActive());
    sent("Command18");
    QVERIFY(fixture_->timer("Timer2")->remainingTime() > 1000);
    QVERIFY(fixture_->timer("Timer4")->remainingTime() > 2000);
}

void TstEngine::fullTransmitBufferIsAFailureNotAReception()
{
    // The projector stops reading: once the transmit buffer is full, the control raises its
    // transmit-buffer event, which reception leaves alone, and the write fails.
    Engine &engine = fixture_->engine;
    QSignalSpy events(&engine.MSComm1(), &SerialControl::OnComm);
    QSignalSpy failures(&engine, &Engine::failed);
    for (int i = 0; i < 1'000'000 && events.isEmpty(); ++i)
        fixture_->click("Command17");
    QVERIFY(failures.wait(5000));
    const QString failure = failures.first().first().value<Failure>().description;
    QVERIFY2(failure.contains(QLatin1String("transmit buffer is full")), qPrintable(failure));
    QCOMPARE(engine.MSComm1().CommEvent(), short(SerialControl::comEventTxFull));
    QCOMPARE(events.count(), 1);
    QVERIFY(engine.rxd().isEmpty());
    QVERIFY(engine.ReceivedText().empty());
    QCOMPARE(engine.AwaitingReply(), std::uint8_t(1));
}

void TstEngine::holdPressTickAndRelease_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("held");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("repeat"); // Timer1 after the press
    QTest::addColumn<int>("replyWindow");
    QTest::addColumn<int>("displayTimeout");
    QTest::addColumn<bool>("digitalZoom");
    const struct {
        const char *control, *caption;
        int held;
        const char *code;
        int repeat, replyWindow, displayTimeout;
    } design[] = {
        {"Command2", "VOL -", 2, "C0A", 250, 200, 245},
        {"Command5", "up", 3, "C3C", 200, 500, 1000},
        {"Command35", "Zoom -", 8, "C46", 50, 25, 25},
        {"Command6", "SELECT", 13, "C3F", 500, 200, 245},
        {"Command48", "D.Zoom +", 17, "C30", 250, 200, 245},
        {"Command62", "LENS SHIFT down", 22, "C5E", 50, 25, 25},
    };
    for (const auto &row : design)
        QTest::addRow("%s %s", row.control, row.caption)
            << QByteArray(row.control) << row.held << QByteArray(row.code) + '\r' << row.repeat
            << row.replyWindow << row.displayTimeout
            << QByteArray(row.caption).startsWith("D.Zoom");
}

void TstEngine::holdPressTickAndRelease()
{
    QFETCH(QByteArray, control);
    QFETCH(int, held);
    QFETCH(QByteArray, code);
    QFETCH(int, repeat);
    QFETCH(int, replyWindow);
    QFETCH(int, displayTimeout);
    QFETCH(bool, digitalZoom);
    Engine &engine = fixture_->engine;
    sent("Command44");
    fixture_->line.write("00\r");
    QTRY_COMPARE(engine.status(), QStringLiteral(" Power ON"));
    engine.Timer2_Timer();

    fixture_->press(control.constData());
    QCOMPARE(fixture_->line.read(4), code);
    QCOMPARE(engine.HeldButton(), std::uint8_t(held));
    QCOMPARE(bytes(engine.CurrentCommand()), code);
    QVERIFY(fixture_->timer("Timer1")->isActive());
    QCOMPARE(fixture_->timer("Timer1")->interval(), repeat);
    QCOMPARE(fixture_->timer("Timer2")->interval(), replyWindow);
    QCOMPARE(fixture_->timer("Timer4")->interval(), displayTimeout);
    QVERIFY(fixture_->timer("Timer2")->isActive());

    engine.Timer1_Timer();
    QCOMPARE(fixture_->line.read(4), code);
    QVERIFY(fixture_->timer("Timer1")->isActive());

    fixture_->timer("Timer2")->stop(); // keeps what arrives until the release
    fixture_->line.write("pending");
    QTRY_COMPARE(engine.ReceivedText(), std::string("pending"));
    fixture_->release(control.constData());
    QCOMPARE(engine.HeldButton(), std::uint8_t(0));
    QVERIFY(!fixture_->timer("Timer1")->isActive());
    QVERIFY(!fixture_->timer("Timer2")->isActive());
    QVERIFY(fixture_->timer("Timer4")->isActive());
    QCOMPARE(fixture_->timer("Timer2")->interval(), 500);
    QCOMPARE(fixture_->timer("Timer4")->interval(), 1000);
    QVERIFY(engine.txd().isEmpty());
    QVERIFY(engine.rxd().isEmpty());
    QCOMPARE(engine.status(), QStringLiteral(" Power ON")); // until the time-out
    QVERIFY(engine.ReceivedText().empty());
    QCOMPARE(fixture_->timer("Timer1")->interval(), digitalZoom ? 5 : repeat);
    QCOMPARE(engine.ArrowMode(), std::uint8_t(digitalZoom ? 3 : 0));
    engine.Timer4_Timer();
    QVERIFY(engine.status().isEmpty());
    QCOMPARE(fixture_->line.readAll(), QByteArray()); // a release sends nothing
}

void TstEngine::pressAndQuickReleaseSendsOnce()
{
    fixture_->press("Command6");
    fixture_->release("Command6");
    QTest::qWait(600);
    QCOMPARE(fixture_->line.readAll(), QByteArray("C3F\r"));
}

void TstEngine::tickWithNothingHeldSendsNothing()
{
    fixture_->engine.Timer1_Timer();
    QCOMPARE(fixture_->line.readAll(), QByteArray());
    QVERIFY(fixture_->engine.txd().isEmpty());
}

void TstEngine::arrowProfiles_data()
{
    // Buttons used first (a one-shot click, or a press and release of a hold button), then
    // the profile the arrows of the cursor pad are held with.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<int>("repeat");
    QTest::addColumn<int>("replyWindow");
    QTest::addColumn<int>("displayTimeout");
    QTest::newRow("nothing chosen yet") << QStringList() << 200 << 500 << 1000;
    QTest::newRow("MENU ON") << QStringList{"Command23"} << 200 << 150 << 190;
    QTest::newRow("ZOOM") << QStringList{"Command10"} << 50 << 50 << 75;
    QTest::newRow("FOCUS") << QStringList{"Command11"} << 100 << 50 << 75;
    QTest::newRow("CURSOL") << QStringList{"Command43"} << 30 << 50 << 75;
    QTest::newRow("CURSOL, then VOL +") << QStringList{"Command43", "Command1"} << 250 << 50 << 75;
    QTest::newRow("CURSOL, then MENU OFF")
        << QStringList{"Command43", "Command24"} << 30 << 50 << 75;
    QTest::newRow("D.Zoom +") << QStringList{"Command48"} << 5 << 5 << 5;
    QTest::newRow("D.Zoom -, then MENU ON")
        << QStringList{"Command49", "Command23"} << 200 << 150 << 190;
    QTest::newRow("CURSOL, then D.Zoom -") << QStringList{"Command43", "Command49"} << 5 << 5 << 5;
}

void TstEngine::arrowProfiles()
{
    QFETCH(QStringList, before);
    QFETCH(int, repeat);
    QFETCH(int, replyWindow);
    QFETCH(int, displayTimeout);
    for (const QString &name : before) {
        const QByteArray control = name.toLatin1();
        if (findHold(control.constData())) {
            fixture_->press(control.constData());
            fixture_->release(control.constData());
        } else {
            fixture_->click(control.constData());
        }
    }
    fixture_->line.readAll();
    for (const char *arrow : {"Command5", "Command7", "Command9", "Command8"}) {
        fixture_->press(arrow);
        QCOMPARE(fixture_->line.read(4).size(), 4);
        QCOMPARE(fixture_->timer("Timer1")->interval(), repeat);
        QCOMPARE(fixture_->timer("Timer2")->interval(), replyWindow);
        QCOMPARE(fixture_->timer("Timer4")->interval(), displayTimeout);
        QVERIFY(fixture_->timer("Timer1")->isActive());
        fixture_->release(arrow);
    }
}

void TstEngine::failedWriteIsReportedAndNotShown_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("plain") << QByteArray("Command18") << QByteArray("C02\r");
    QTest::newRow("query") << QByteArray("Command44") << QByteArray("CR0\r");
    QTest::newRow("arrow mode") << QByteArray("Command43") << QByteArray("C4F\r");
}

void TstEngine::failedWriteIsReportedAndNotShown()
{
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, code);
    Engine &engine = fixture_->engine;
    QSignalSpy reports(&engine, &Engine::failed);
    engine.MSComm1().setPortOpen(false);
    QVERIFY(!fixture_->click(control.constData()));
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.first().first().value<Failure>().description,
             QStringLiteral("COM1 (%1): the port is not open").arg(fixture_->line.slavePath()));
    // The handler ended at the write: the command is current, but not shown, and the later
    // steps did not run.
    QCOMPARE(bytes(engine.CurrentCommand()), code);
    QVERIFY(engine.txd().isEmpty());
    QCOMPARE(engine.AwaitingReply(), std::uint8_t(0));
    QVERIFY(!fixture_->timer("Timer2")->isActive());
    QCOMPARE(fixture_->timer("Timer1")->interval(), 200);
    QCOMPARE(engine.ArrowMode(), std::uint8_t(0));
}

void TstEngine::burstOfFailuresGivesOneReport()
{
    Engine &engine = fixture_->engine;
    QSignalSpy reports(&engine, &Engine::failed);
    engine.MSComm1().setPortOpen(false);
    for (int i = 0; i < 5; ++i)
        fixture_->click("Command17");
    QVERIFY(reports.wait(5000));
    QTest::qWait(100);
    QCOMPARE(reports.count(), 1);
    // A later failure, after the first report, is reported again.
    fixture_->click("Command17");
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.count(), 2);
}

void TstEngine::failureEndsTheHoldAsARelease_data()
{
    // Buttons clicked first, the button held, and whether the line fails before the press
    // (the press cannot send) or during the hold (a tick cannot send).
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<bool>("duringHold");
    QTest::addColumn<int>("repeat"); // Timer1 afterwards
    QTest::addColumn<int>("arrowMode");
    QTest::newRow("VOL + cannot send: no period written")
        << QStringList() << QByteArray("Command1") << false << 200 << 0;
    QTest::newRow("up after CURSOL cannot send")
        << QStringList{"Command43"} << QByteArray("Command5") << false << 30 << 2;
    QTest::newRow("Zoom + tick fails")
        << QStringList() << QByteArray("Command15") << true << 50 << 0;
    QTest::newRow("up after CURSOL, tick fails")
        << QStringList{"Command43"} << QByteArray("Command5") << true << 30 << 2;
    QTest::newRow("D.Zoom + tick fails: its profile as on release")
        << QStringList() << QByteArray("Command48") << true << 5 << 3;
}

void TstEngine::failureEndsTheHoldAsARelease()
{
    QFETCH(QStringList, before);
    QFETCH(QByteArray, control);
    QFETCH(bool, duringHold);
    QFETCH(int, repeat);
    QFETCH(int, arrowMode);
    Engine &engine = fixture_->engine;
    for (const QString &name : before)
        fixture_->click(name.toLatin1().constData());
    QSignalSpy reports(&engine, &Engine::failed);
    SerialControl &port = engine.MSComm1();
    if (!duringHold)
        port.setPortOpen(false);
    fixture_->press(control.constData());
    if (duringHold) {
        QVERIFY2(fixture_->timer("Timer1")->isActive(), "the hold did not start");
        port.setPortOpen(false);
    }
    QVERIFY2(reports.wait(5000), "the failed hold was never reported");
    QVERIFY(!fixture_->timer("Timer1")->isActive());
    QCOMPARE(engine.HeldButton(), std::uint8_t(0));
    QCOMPARE(fixture_->timer("Timer1")->interval(), repeat);
    QCOMPARE(engine.ArrowMode(), std::uint8_t(arrowMode));
    QCOMPARE(fixture_->timer("Timer2")->interval(), 500);
    QCOMPARE(fixture_->timer("Timer4")->interval(), 1000);
    QVERIFY(!fixture_->timer("Timer2")->isActive());
    QVERIFY(fixture_->timer("Timer4")->isActive());
    QVERIFY(engine.txd().isEmpty());
    QVERIFY(engine.ReceivedText().empty());

    // The port is back and POWER ON sent before the late release arrives: it changes nothing.
    port.setPortOpen(true);
    QVERIFY(fixture_->click("Command17"));
    fixture_->release(control.constData());
    QCOMPARE(engine.txd(), QStringLiteral(" C 0 0 CR "));
    QVERIFY(fixture_->timer("Timer2")->isActive());
    QTest::qWait(100);
    QCOMPARE(reports.count(), 1);
}

QTEST_GUILESS_MAIN(TstEngine)
#include "tst_engine.moc"
