// The line's behaviour without a window, over a real pseudo-terminal: what a button shows, how
// replies are gathered and decoded, the reply window and display time-out, the hold repetition and
// its profiles, and what a failure leaves behind. Which code each button sends is checked through
// the window in tst_panel; rendering and decoding rows are in tst_traffic.

#include "protocol/commandtable.h"
#include "protocol/rendering.h"

#include "support/enginefixture.h"
#include "support/manualclock.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace qv7;

class TstEngine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void reception_data();
    void reception();
    void transmitRestartsTheWindows();
    void fullTransmitBufferIsAFailureNotAReception();
    void hold_data();
    void hold();
    void arrowProfiles_data();
    void arrowProfiles();
    void failedWrite_data();
    void failedWrite();
    void failureEndsTheHoldAsARelease_data();
    void failureEndsTheHoldAsARelease();

private:
    // Clicks or presses and releases each button, and takes what they sent off the line.
    void use(const QStringList &controls);
    DesignState state() const { return fixture_->engine.designState(); }
    // The lengths of Timer1, Timer2 and Timer4.
    QList<int> intervals() const
    {
        const DesignState now = state();
        return {now.Timer1.interval, now.Timer2.interval, fixture_->view.Timer4().interval};
    }
    std::unique_ptr<test::ManualClock> clock_;
    std::unique_ptr<test::EngineOnLine> fixture_;
};

void TstEngine::init()
{
    clock_ = std::make_unique<test::ManualClock>();
    fixture_ = std::make_unique<test::EngineOnLine>(*clock_);
    QVERIFY(fixture_->engine.isOpen());
}

void TstEngine::cleanup()
{
    fixture_.reset();
    clock_.reset();
}

void TstEngine::use(const QStringList &controls)
{
    for (const QString &name : controls) {
        const QByteArray control = name.toLatin1();
        if (findHold(control.constData())) {
            fixture_->press(control.constData());
            fixture_->release(control.constData());
        } else {
            QVERIFY(fixture_->click(control.constData()));
        }
        QCOMPARE(fixture_->line.read(4).size(), 4);
    }
}

void TstEngine::reception_data()
{
    // The buttons clicked, the reply in the pieces it arrives in, the status it decodes to, and
    // the RXD line once the reply window has closed.
    QTest::addColumn<QStringList>("sent");
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("afterWindow");
    QTest::newRow("nothing came: marked")
        << QStringList{"Command44"} << QByteArrayList() << QString() << QStringLiteral(" X X X X");
    QTest::newRow("power in pieces") << QStringList{"Command44"} << QByteArrayList{"0", "0\r"}
                                     << QStringLiteral(" Power ON") << QStringLiteral(" 0 0 CR ");
    QTest::newRow("lamp hours in pieces")
        << QStringList{"Command46"} << QByteArrayList{"01", "23\r"}
        << QStringLiteral(" 0 1 2 3 Hour Use") << QStringLiteral(" 0 1 2 3 CR ");
    QTest::newRow("late, after a command: shown, not decoded")
        << QStringList{"Command44", "Command17"} << QByteArrayList{"10\r"} << QString()
        << QStringLiteral(" 1 0 CR ");
    QTest::newRow("late, after another query: its answer")
        << QStringList{"Command44", "Command47"} << QByteArrayList{"10\r"}
        << QStringLiteral(" Top/Bottom reversal") << QStringLiteral(" 1 0 CR ");
}

void TstEngine::reception()
{
    QFETCH(QStringList, sent);
    QFETCH(QByteArrayList, pieces);
    QFETCH(QString, status);
    QFETCH(QString, afterWindow);
    use(sent);
    QByteArray gathered;
    for (const QByteArray &piece : pieces) {
        fixture_->line.write(piece);
        gathered += piece;
        // The whole reply so far, rendered and decoded again.
        QTRY_COMPARE(state().ReceivedText, gathered.toStdString());
        QCOMPARE(fixture_->view.rxd(), QString::fromLatin1(renderTraffic(gathered.toStdString())));
    }
    QCOMPARE(fixture_->view.status(), status);
    clock_->advance(499);
    QVERIFY(state().Timer2.enabled);
    clock_->advance(1);
    QVERIFY(!state().Timer2.enabled);
    QCOMPARE(fixture_->view.rxd(), afterWindow);
    QCOMPARE(state().AwaitingReply, std::uint8_t(0));
    QVERIFY(state().ReceivedText.empty()); // the next reply starts afresh
    clock_->advance(499);
    QCOMPARE(fixture_->view.rxd(), afterWindow);
    clock_->advance(1);
    QVERIFY(!fixture_->view.Timer4().enabled);
    QVERIFY(fixture_->view.txd().isEmpty());
    QVERIFY(fixture_->view.rxd().isEmpty());
    QVERIFY(fixture_->view.status().isEmpty());
}

void TstEngine::transmitRestartsTheWindows()
{
    // A second command while both windows run gives each its full length again.
    use({"Command17"});
    clock_->advance(400);
    use({"Command18"});
    clock_->advance(499);
    QVERIFY(state().Timer2.enabled);
    clock_->advance(1);
    QCOMPARE(fixture_->view.rxd(), QStringLiteral(" X X X X"));
    clock_->advance(499);
    QCOMPARE(fixture_->view.txd(), QStringLiteral(" C 0 2 CR "));
    clock_->advance(1);
    QVERIFY(fixture_->view.txd().isEmpty());
}

void TstEngine::fullTransmitBufferIsAFailureNotAReception()
{
    // Nobody reads the line: the transmit-buffer event must not be taken for a reception.
    Line &engine = fixture_->engine;
    QSignalSpy failures(&engine, &Line::failed);
    QSignalSpy receptions(&engine, &Line::received);
    for (int i = 0; i < 1'000'000 && fixture_->click("Command17"); ++i)
        ;
    QVERIFY(failures.wait(5000));
    QVERIFY2(failures.first().first().value<Failure>().description.endsWith(
                 QStringLiteral("the transmit buffer is full; is the projector reading the line?")),
             qPrintable(failures.first().first().value<Failure>().description));
    QCOMPARE(receptions.count(), 0);
    QVERIFY(fixture_->view.rxd().isEmpty());
    QCOMPARE(state().AwaitingReply, std::uint8_t(1));
}

void TstEngine::hold_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("held");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QList<int>>("timings"); // Timer1, Timer2 and Timer4 while held
    QTest::addColumn<bool>("digitalZoom");
    QTest::newRow("VOL -") << "Command2"_qba << 2 << "C0A\r"_qba << QList{250, 200, 245} << false;
    QTest::newRow("up") << "Command5"_qba << 3 << "C3C\r"_qba << QList{200, 500, 1000} << false;
    QTest::newRow("Zoom -") << "Command35"_qba << 8 << "C46\r"_qba << QList{50, 25, 25} << false;
    QTest::newRow("SELECT") << "Command6"_qba << 13 << "C3F\r"_qba << QList{500, 200, 245} << false;
    QTest::newRow("D.Zoom +") << "Command48"_qba << 17 << "C30\r"_qba << QList{250, 200, 245}
                              << true;
    QTest::newRow("LENS SHIFT down")
        << "Command62"_qba << 22 << "C5E\r"_qba << QList{50, 25, 25} << false;
}

void TstEngine::hold()
{
    QFETCH(QByteArray, control);
    QFETCH(int, held);
    QFETCH(QByteArray, code);
    QFETCH(QList<int>, timings);
    QFETCH(bool, digitalZoom);
    use({"Command44"});
    fixture_->line.write("00\r");
    QTRY_COMPARE(fixture_->view.status(), QStringLiteral(" Power ON"));
    clock_->advance(500);

    fixture_->press(control.constData());
    QCOMPARE(fixture_->line.read(4), code);
    QCOMPARE(state().HeldButton, std::uint8_t(held));
    QCOMPARE(intervals(), timings);
    QVERIFY(state().Timer1.enabled);
    QVERIFY(state().Timer2.enabled);

    // What arrives after the last send is kept until the release, which clears it.
    fixture_->line.write("pending");
    QTRY_COMPARE(state().ReceivedText, std::string("pending"));
    fixture_->release(control.constData());
    QCOMPARE(state().HeldButton, std::uint8_t(0));
    QVERIFY(!state().Timer1.enabled);
    QVERIFY(!state().Timer2.enabled);
    QVERIFY(fixture_->view.Timer4().enabled);
    // The windows return to their lengths; D.Zoom leaves its own repetition for the arrows.
    QCOMPARE(intervals(), (QList{digitalZoom ? 5 : timings[0], 500, 1000}));
    QCOMPARE(state().ArrowMode, std::uint8_t(digitalZoom ? 3 : 0));
    QVERIFY(fixture_->view.txd().isEmpty());
    QVERIFY(fixture_->view.rxd().isEmpty());
    QCOMPARE(fixture_->view.status(), QStringLiteral(" Power ON")); // until the time-out
    QVERIFY(state().ReceivedText.empty());
    clock_->advance(1000);
    QCOMPARE(fixture_->line.readAll(), QByteArray());
    QVERIFY(fixture_->view.status().isEmpty());

    // Held again: repeated at its period, not before, until the release.
    fixture_->press(control.constData());
    QCOMPARE(fixture_->line.read(4), code);
    clock_->advance(timings[0] - 1);
    QCOMPARE(fixture_->line.readAll(10), QByteArray());
    clock_->advance(1);
    QCOMPARE(fixture_->line.read(4), code);
    fixture_->release(control.constData());
    clock_->advance(timings[0]);
    QCOMPARE(fixture_->line.readAll(10), QByteArray());
}

void TstEngine::arrowProfiles_data()
{
    // The buttons used first, then the timings the arrows of the cursor pad are held with.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QList<int>>("timings"); // Timer1, Timer2 and Timer4
    QTest::newRow("nothing chosen yet") << QStringList() << QList{200, 500, 1000};
    QTest::newRow("MENU ON") << QStringList{"Command23"} << QList{200, 150, 190};
    QTest::newRow("ZOOM") << QStringList{"Command10"} << QList{50, 50, 75};
    QTest::newRow("FOCUS") << QStringList{"Command11"} << QList{100, 50, 75};
    QTest::newRow("CURSOL") << QStringList{"Command43"} << QList{30, 50, 75};
    QTest::newRow("CURSOL, then VOL +")
        << QStringList{"Command43", "Command1"} << QList{250, 50, 75};
    QTest::newRow("CURSOL, then MENU OFF")
        << QStringList{"Command43", "Command24"} << QList{30, 50, 75};
    QTest::newRow("D.Zoom +") << QStringList{"Command48"} << QList{5, 5, 5};
    QTest::newRow("D.Zoom -, then MENU ON")
        << QStringList{"Command49", "Command23"} << QList{200, 150, 190};
    QTest::newRow("CURSOL, then D.Zoom -")
        << QStringList{"Command43", "Command49"} << QList{5, 5, 5};
}

void TstEngine::arrowProfiles()
{
    QFETCH(QStringList, before);
    QFETCH(QList<int>, timings);
    use(before);
    for (const char *arrow : {"Command5", "Command7", "Command9", "Command8"}) {
        fixture_->press(arrow);
        QCOMPARE(fixture_->line.read(4).size(), 4);
        QCOMPARE(intervals(), timings);
        QVERIFY(state().Timer1.enabled);
        fixture_->release(arrow);
    }
}

void TstEngine::failedWrite_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("plain") << QByteArray("Command18") << QByteArray("C02\r");
    QTest::newRow("query") << QByteArray("Command44") << QByteArray("CR0\r");
    QTest::newRow("arrow mode") << QByteArray("Command43") << QByteArray("C4F\r");
}

void TstEngine::failedWrite()
{
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, code);
    Line &engine = fixture_->engine;
    QSignalSpy reports(&engine, &Line::failed);
    engine.closePort();
    for (int i = 0; i < 3; ++i)
        QVERIFY(!fixture_->click(control.constData()));
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.first().first().value<Failure>().description,
             QStringLiteral("COM1 (%1): the port is not open").arg(fixture_->line.slavePath()));
    // The handler ended at the write: the command is current but not shown, and the later
    // steps did not run.
    QCOMPARE(QByteArray::fromStdString(state().CurrentCommand), code);
    QVERIFY(fixture_->view.txd().isEmpty());
    QCOMPARE(state().AwaitingReply, std::uint8_t(0));
    QVERIFY(!state().Timer2.enabled);
    QCOMPARE(state().Timer1.interval, 200);
    QCOMPARE(state().ArrowMode, std::uint8_t(0));
    // One report for the burst; a failure after it has been reported is reported again, and
    // is the next one.
    fixture_->click(control.constData());
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.count(), 2);
}

void TstEngine::failureEndsTheHoldAsARelease_data()
{
    // The buttons clicked first, the button held, and whether the line fails before the press
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
    Line &engine = fixture_->engine;
    use(before);
    QSignalSpy reports(&engine, &Line::failed);
    if (!duringHold)
        engine.closePort();
    fixture_->press(control.constData());
    if (duringHold) {
        QVERIFY2(state().Timer1.enabled, "the hold did not start");
        engine.closePort();
        clock_->advance(state().Timer1.interval);
    }
    QTRY_COMPARE(reports.count(), 1);
    QVERIFY(!state().Timer1.enabled);
    QCOMPARE(state().HeldButton, std::uint8_t(0));
    QCOMPARE(intervals(), (QList{repeat, 500, 1000}));
    QCOMPARE(state().ArrowMode, std::uint8_t(arrowMode));
    QVERIFY(!state().Timer2.enabled);
    QVERIFY(fixture_->view.Timer4().enabled);
    QVERIFY(fixture_->view.txd().isEmpty());

    // The port is back and POWER ON sent before the late release arrives: it changes nothing.
    QVERIFY(engine.switchPort(1));
    QVERIFY(fixture_->click("Command17"));
    fixture_->release(control.constData());
    QCOMPARE(fixture_->view.txd(), QStringLiteral(" C 0 0 CR "));
    QVERIFY(state().Timer2.enabled);
    QCOMPARE(reports.count(), 1);
}

QTEST_GUILESS_MAIN(TstEngine)
#include "tst_engine.moc"
