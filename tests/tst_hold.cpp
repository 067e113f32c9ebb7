// Press-and-hold buttons over the real line: the press, the repetition, the release, the
// arrow profiles and failures during a hold.

#include "protocol/commandtable.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstHold : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void pressTickAndRelease_data();
    void pressTickAndRelease();
    void pressAndQuickReleaseSendsOnce();
    void anyMouseButtonAndModifier_data();
    void anyMouseButtonAndModifier();
    void keyboardSendsNothing_data();
    void keyboardSendsNothing();
    void releaseOutsideTheButtonStillStops();
    void arrowProfiles_data();
    void arrowProfiles();
    void tickWithNothingHeldSendsNothing();
    void failureEndsTheHoldAsARelease_data();
    void failureEndsTheHoldAsARelease();
    void modalReportDoesNotLeaveTheHoldsTimings();

private:
    CommandButton *button(const QString &name) const
    {
        return qobject_cast<CommandButton *>(panel_->form->control(name));
    }
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstHold::init()
{
    line_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(line_->slavePath());
}

void TstHold::cleanup()
{
    panel_.reset();
    line_.reset();
}

void TstHold::pressTickAndRelease_data()
{
    QTest::addColumn<QString>("control");
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
        {"Command1", "VOL +", 1, "C09", 250, 200, 245},
        {"Command2", "VOL -", 2, "C0A", 250, 200, 245},
        {"Command5", "up", 3, "C3C", 200, 500, 1000},
        {"Command7", "down", 4, "C3D", 200, 500, 1000},
        {"Command9", "left", 5, "C3B", 200, 500, 1000},
        {"Command8", "right", 6, "C3A", 200, 500, 1000},
        {"Command15", "Zoom +", 7, "C47", 50, 25, 25},
        {"Command35", "Zoom -", 8, "C46", 50, 25, 25},
        {"Command36", "Focus +", 9, "C4B", 50, 25, 25},
        {"Command37", "Focus -", 10, "C4A", 50, 25, 25},
        {"Command6", "SELECT", 13, "C3F", 500, 200, 245},
        {"Command48", "D.Zoom +", 17, "C30", 250, 200, 245},
        {"Command49", "D.Zoom -", 18, "C31", 250, 200, 245},
        {"Command50", "Keystone +", 19, "C8E", 250, 200, 245},
        {"Command51", "Keystone -", 20, "C8F", 250, 200, 245},
        {"Command59", "LENS SHIFT up", 21, "C5D", 50, 25, 25},
        {"Command62", "LENS SHIFT down", 22, "C5E", 50, 25, 25},
    };
    for (const auto &row : design)
        QTest::addRow("%s %s", row.control, row.caption)
            << QString::fromLatin1(row.control) << row.held << QByteArray(row.code) + '\r'
            << row.repeat << row.replyWindow << row.displayTimeout
            << (QByteArray(row.caption).startsWith("D.Zoom"));
}

void TstHold::pressTickAndRelease()
{
    QFETCH(QString, control);
    QFETCH(int, held);
    QFETCH(QByteArray, code);
    QFETCH(int, repeat);
    QFETCH(int, replyWindow);
    QFETCH(int, displayTimeout);
    QFETCH(bool, digitalZoom);
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    test::widget<QLabel>(form, "Label25")->setText(QStringLiteral(" Power ON"));

    QTest::mousePress(button(control), Qt::LeftButton);
    QCOMPARE(line_->read(4), code);
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(held));
    QCOMPARE(QByteArray::fromStdString(form.engine().CurrentCommand()), code);
    QVERIFY(test::timer(form, "Timer1")->isActive());
    QCOMPARE(test::timer(form, "Timer1")->interval(), repeat);
    QCOMPARE(test::timer(form, "Timer2")->interval(), replyWindow);
    QCOMPARE(test::timer(form, "Timer4")->interval(), displayTimeout);
    QVERIFY(test::timer(form, "Timer2")->isActive());

    form.engine().Timer1_Timer();
    QCOMPARE(line_->read(4), code);
    QVERIFY(test::timer(form, "Timer1")->isActive());

    line_->write("pending");
    QTRY_COMPARE(form.engine().ReceivedText(), std::string("pending"));
    QTest::mouseRelease(button(control), Qt::LeftButton);
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QVERIFY(!test::timer(form, "Timer2")->isActive());
    QVERIFY(test::timer(form, "Timer4")->isActive());
    QCOMPARE(test::timer(form, "Timer2")->interval(), 500);
    QCOMPARE(test::timer(form, "Timer4")->interval(), 1000);
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
    QVERIFY(test::widget<QLabel>(form, "Label12")->text().isEmpty());
    QCOMPARE(test::widget<QLabel>(form, "Label25")->text(),
             QStringLiteral(" Power ON")); // until the time-out
    QVERIFY(form.engine().ReceivedText().empty());
    QCOMPARE(test::timer(form, "Timer1")->interval(), digitalZoom ? 5 : repeat);
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(digitalZoom ? 3 : 0));
    form.engine().Timer4_Timer();
    QVERIFY(test::widget<QLabel>(form, "Label25")->text().isEmpty());
    QCOMPARE(line_->readAll(), QByteArray()); // a release sends nothing
}

void TstHold::pressAndQuickReleaseSendsOnce()
{
    QTest::mousePress(button(QStringLiteral("Command6")), Qt::LeftButton);
    QTest::mouseRelease(button(QStringLiteral("Command6")), Qt::LeftButton);
    QTest::qWait(600);
    QCOMPARE(line_->readAll(), QByteArray("C3F\r"));
}

void TstHold::anyMouseButtonAndModifier_data()
{
    QTest::addColumn<int>("mouseButton");
    QTest::addColumn<int>("modifiers");
    QTest::newRow("left") << int(Qt::LeftButton) << int(Qt::NoModifier);
    QTest::newRow("right") << int(Qt::RightButton) << int(Qt::NoModifier);
    QTest::newRow("middle") << int(Qt::MiddleButton) << int(Qt::NoModifier);
    QTest::newRow("right with Shift") << int(Qt::RightButton) << int(Qt::ShiftModifier);
    QTest::newRow("left with Ctrl") << int(Qt::LeftButton) << int(Qt::ControlModifier);
    QTest::newRow("middle with Alt") << int(Qt::MiddleButton) << int(Qt::AltModifier);
}

void TstHold::anyMouseButtonAndModifier()
{
    QFETCH(int, mouseButton);
    QFETCH(int, modifiers);
    Form1 &form = *panel_->form;
    const auto which = Qt::MouseButton(mouseButton);
    const auto keys = Qt::KeyboardModifiers(modifiers);
    QTest::mousePress(test::widget<CommandButton>(form, "Command1"), which, keys);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(1));
    QVERIFY(test::timer(form, "Timer1")->isActive());
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command1"), which, keys);
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
}

void TstHold::keyboardSendsNothing_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Space") << int(Qt::Key_Space);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
}

void TstHold::keyboardSendsNothing()
{
    QFETCH(int, key);
    Form1 &form = *panel_->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    test::widget<CommandButton>(form, "Command6")->setFocus();
    QTest::keyClick(test::widget<CommandButton>(form, "Command6"), Qt::Key(key));
    QCOMPARE(line_->readAll(), QByteArray());
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
}

void TstHold::releaseOutsideTheButtonStillStops()
{
    // Through the window, as the platform delivers it: the release lands on another control,
    // but reaches the button that saw the press.
    Form1 &form = *panel_->form;
    QWindow *window = form.windowHandle();
    const QPoint onButton =
        test::widget<CommandButton>(form, "Command1")
            ->mapTo(&form, test::widget<CommandButton>(form, "Command1")->rect().center());
    const QPoint elsewhere =
        test::widget<CommandButton>(form, "Command16")
            ->mapTo(&form, test::widget<CommandButton>(form, "Command16")->rect().center());
    QTest::mousePress(window, Qt::LeftButton, {}, onButton);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QTest::mouseMove(window, elsewhere);
    QTest::mouseRelease(window, Qt::LeftButton, {}, elsewhere);
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QCOMPARE(line_->readAll(), QByteArray()); // and "END" was not clicked
    QVERIFY(form.isVisible());
}

void TstHold::arrowProfiles_data()
{
    // Buttons clicked (a one-shot click, or a press and release of a hold button), then the
    // profile that "up" of the cursor pad is held with.
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<int>("repeat");
    QTest::addColumn<int>("replyWindow");
    QTest::addColumn<int>("displayTimeout");
    QTest::newRow("nothing chosen yet") << QStringList() << 200 << 500 << 1000;
    QTest::newRow("MENU ON") << QStringList{"Command23"} << 200 << 150 << 190;
    QTest::newRow("A-IMAGE") << QStringList{"Command13"} << 200 << 150 << 190;
    QTest::newRow("ZOOM") << QStringList{"Command10"} << 50 << 50 << 75;
    QTest::newRow("FOCUS") << QStringList{"Command11"} << 100 << 50 << 75;
    QTest::newRow("Lens shift") << QStringList{"Command41"} << 50 << 50 << 75;
    QTest::newRow("CURSOL") << QStringList{"Command43"} << 30 << 50 << 75;
    QTest::newRow("CURSOL, then VOL +") << QStringList{"Command43", "Command1"} << 250 << 50 << 75;
    QTest::newRow("CURSOL, then MENU OFF")
        << QStringList{"Command43", "Command24"} << 30 << 50 << 75;
    QTest::newRow("D.Zoom +") << QStringList{"Command48"} << 5 << 5 << 5;
    QTest::newRow("D.Zoom -, then MENU ON")
        << QStringList{"Command49", "Command23"} << 200 << 150 << 190;
    QTest::newRow("CURSOL, then D.Zoom -") << QStringList{"Command43", "Command49"} << 5 << 5 << 5;
}

void TstHold::arrowProfiles()
{
    QFETCH(QStringList, before);
    QFETCH(int, repeat);
    QFETCH(int, replyWindow);
    QFETCH(int, displayTimeout);
    Form1 &form = *panel_->form;
    for (const QString &name : before) {
        if (findHold(name.toStdString())) {
            QTest::mousePress(button(name), Qt::LeftButton);
            QTest::mouseRelease(button(name), Qt::LeftButton);
        } else {
            QTest::mouseClick(button(name), Qt::LeftButton);
        }
    }
    line_->readAll();
    for (const char *arrow : {"Command5", "Command7", "Command9", "Command8"}) {
        QTest::mousePress(button(QString::fromLatin1(arrow)), Qt::LeftButton);
        QCOMPARE(line_->read(4).size(), 4);
        QCOMPARE(test::timer(form, "Timer1")->interval(), repeat);
        QCOMPARE(test::timer(form, "Timer2")->interval(), replyWindow);
        QCOMPARE(test::timer(form, "Timer4")->interval(), displayTimeout);
        QVERIFY(test::timer(form, "Timer1")->isActive());
        QTest::mouseRelease(button(QString::fromLatin1(arrow)), Qt::LeftButton);
    }
}

void TstHold::tickWithNothingHeldSendsNothing()
{
    Form1 &form = *panel_->form;
    form.engine().Timer1_Timer();
    QCOMPARE(line_->readAll(), QByteArray());
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
}

void TstHold::failureEndsTheHoldAsARelease_data()
{
    // Buttons clicked first, the button held, and whether the line fails before the press
    // (the press cannot send) or during the hold (a tick cannot send).
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("control");
    QTest::addColumn<bool>("duringHold");
    QTest::addColumn<int>("repeat"); // Timer1 afterwards
    QTest::addColumn<int>("arrowMode");
    QTest::newRow("VOL + cannot send: no period written")
        << QStringList() << "Command1" << false << 200 << 0;
    QTest::newRow("up after CURSOL cannot send")
        << QStringList{"Command43"} << "Command5" << false << 30 << 2;
    QTest::newRow("Zoom + tick fails") << QStringList() << "Command15" << true << 50 << 0;
    QTest::newRow("up after CURSOL, tick fails")
        << QStringList{"Command43"} << "Command5" << true << 30 << 2;
    QTest::newRow("D.Zoom + tick fails: its profile as on release")
        << QStringList() << "Command48" << true << 5 << 3;
}

void TstHold::failureEndsTheHoldAsARelease()
{
    QFETCH(QStringList, before);
    QFETCH(QString, control);
    QFETCH(bool, duringHold);
    QFETCH(int, repeat);
    QFETCH(int, arrowMode);
    Form1 &form = *panel_->form;
    const Engine &engine = form.engine();
    for (const QString &name : before)
        QTest::mouseClick(button(name), Qt::LeftButton);
    QSignalSpy reports(&form, &Form1::failureReported);
    SerialControl &port = form.engine().MSComm1();
    if (!duringHold)
        port.setPortOpen(false);
    QTest::mousePress(button(control), Qt::LeftButton);
    if (duringHold) {
        QVERIFY2(test::timer(form, "Timer1")->isActive(), "the hold did not start");
        port.setPortOpen(false);
    }
    QVERIFY2(reports.wait(5000), "the failed hold was never reported");
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QCOMPARE(engine.HeldButton(), std::uint8_t(0));
    QCOMPARE(test::timer(form, "Timer1")->interval(), repeat);
    QCOMPARE(engine.ArrowMode(), std::uint8_t(arrowMode));
    QCOMPARE(test::timer(form, "Timer2")->interval(), 500);
    QCOMPARE(test::timer(form, "Timer4")->interval(), 1000);
    QVERIFY(!test::timer(form, "Timer2")->isActive());
    QVERIFY(test::timer(form, "Timer4")->isActive());
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
    QVERIFY(engine.ReceivedText().empty());

    // The port is back and POWER ON sent before the late release arrives: it changes nothing.
    port.setPortOpen(true);
    QTest::mouseClick(button(QStringLiteral("Command17")), Qt::LeftButton);
    QTest::mouseRelease(button(control), Qt::LeftButton);
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral(" C 0 0 CR "));
    QVERIFY(test::timer(form, "Timer2")->isActive());
    QTest::qWait(100);
    QCOMPARE(reports.count(), 1);
}

void TstHold::modalReportDoesNotLeaveTheHoldsTimings()
{
    // The real warning box: the release happens while it is up, so the window never sees it.
    cleanup();
    test::PtyPair line;
    Form1 form;
    form.engine().MSComm1().setDevice(1, line.slavePath());
    form.load();
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    test::keyDown(form, Qt::Key_J, 2);
    QWindow *window = form.windowHandle();
    CommandButton *zoomIn = test::widget<CommandButton>(form, "Command15");
    const QPoint onButton = zoomIn->mapTo(&form, zoomIn->rect().center());
    bool boxSeen = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &form, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        boxSeen = true;
        closer.stop();
        QTest::mouseRelease(window, Qt::LeftButton, {}, onButton);
        box->accept();
    });
    closer.start(20);

    QTest::mousePress(window, Qt::LeftButton, {}, onButton);
    QCOMPARE(line.read(4), QByteArray("C47\r"));
    line.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(boxSeen && !QApplication::activeModalWidget(), 10000);
    QCOMPARE(test::timer(form, "Timer2")->interval(), 500);
    QCOMPARE(test::timer(form, "Timer4")->interval(), 1000);

    test::PtyPair again;
    form.engine().MSComm1().setDevice(1, again.slavePath());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(again.read(4), QByteArray("C00\r"));
    QTest::qWait(200); // far beyond the hold's 25 ms display time-out
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral(" C 0 0 CR "));
    QTRY_COMPARE_WITH_TIMEOUT(test::widget<QLabel>(form, "Label12")->text(),
                              QStringLiteral(" X X X X"), 2000);
}

QTEST_MAIN(TstHold)
#include "tst_hold.moc"
