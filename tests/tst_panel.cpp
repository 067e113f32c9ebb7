// The window as the engine's view, over a real pseudo-terminal: every button reaches the line
// through the mouse or the keyboard as the platform delivers them, the lines show the engine's
// texts, the display toggle, and how failures reach the operator.

#include "panel/layout.h"
#include "protocol/commandtable.h"

#include "support/panelfixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void everyButtonReachesTheLine_data();
    void everyButtonReachesTheLine();
    void keyboardClicksAFocusedOneShotButton_data();
    void keyboardClicksAFocusedOneShotButton();
    void keyboardSendsNothingFromAHoldButton_data();
    void keyboardSendsNothingFromAHoldButton();
    void anyMouseButtonAndModifierHolds_data();
    void anyMouseButtonAndModifierHolds();
    void releaseOutsideTheButtonStillStops();
    void toggle_data();
    void toggle();
    void toggleRestartsThePortPanelTimer();
    void keyCommandAfterTheToggle();
    void failuresWhileAReportIsUpAreDropped();
    void modalReportDoesNotLeaveTheHoldsTimings();

private:
    CommandButton *button(const char *name) const
    {
        return test::widget<CommandButton>(*panel_->form, name);
    }
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstPanel::init()
{
    line_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(line_->slavePath());
    QVERIFY(panel_->form->engine().MSComm1().PortOpen());
}

void TstPanel::cleanup()
{
    panel_.reset();
    line_.reset();
}

void TstPanel::everyButtonReachesTheLine_data()
{
    // Each row of the command tables is wired to its button; tst_engine checks the codes.
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<bool>("hold");
    QTest::addColumn<QByteArray>("code");
    for (const OneShotCommand &row : kOneShotCommands)
        QTest::newRow(row.control.data())
            << QByteArray(row.control.data()) << false << QByteArray(row.code.data(), 3) + '\r';
    for (const HoldCommand &row : kHoldCommands)
        QTest::newRow(row.control.data())
            << QByteArray(row.control.data()) << true << QByteArray(row.code.data(), 3) + '\r';
}

void TstPanel::everyButtonReachesTheLine()
{
    QFETCH(QByteArray, control);
    QFETCH(bool, hold);
    QFETCH(QByteArray, code);
    CommandButton *pressed = button(control.constData());
    if (hold) {
        QTest::mousePress(pressed, Qt::LeftButton);
        QCOMPARE(line_->read(4), code);
        QVERIFY(test::timer(*panel_->form, "Timer1")->isActive());
        QTest::mouseRelease(pressed, Qt::LeftButton);
        QVERIFY(!test::timer(*panel_->form, "Timer1")->isActive());
    } else {
        QTest::mouseClick(pressed, Qt::LeftButton);
        QCOMPARE(line_->read(4), code);
    }
    QCOMPARE(line_->readAll(), QByteArray());
}

void TstPanel::keyboardClicksAFocusedOneShotButton_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Space") << int(Qt::Key_Space);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
}

void TstPanel::keyboardClicksAFocusedOneShotButton()
{
    QFETCH(int, key);
    Form1 &form = *panel_->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), button("Command17"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(line_->read(4), QByteArray("C00\r"));
    QCOMPARE(line_->readAll(), QByteArray()); // once
}

void TstPanel::keyboardSendsNothingFromAHoldButton_data()
{
    keyboardClicksAFocusedOneShotButton_data();
}

void TstPanel::keyboardSendsNothingFromAHoldButton()
{
    QFETCH(int, key);
    Form1 &form = *panel_->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    button("Command6")->setFocus();
    QTest::keyClick(button("Command6"), Qt::Key(key));
    QCOMPARE(line_->readAll(), QByteArray());
    QVERIFY(!test::timer(form, "Timer1")->isActive());
}

void TstPanel::anyMouseButtonAndModifierHolds_data()
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

void TstPanel::anyMouseButtonAndModifierHolds()
{
    QFETCH(int, mouseButton);
    QFETCH(int, modifiers);
    const auto which = Qt::MouseButton(mouseButton);
    const auto keys = Qt::KeyboardModifiers(modifiers);
    QTest::mousePress(button("Command1"), which, keys);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QCOMPARE(panel_->form->engine().HeldButton(), std::uint8_t(1));
    QTest::mouseRelease(button("Command1"), which, keys);
    QCOMPARE(panel_->form->engine().HeldButton(), std::uint8_t(0));
}

void TstPanel::releaseOutsideTheButtonStillStops()
{
    // Through the window, as the platform delivers it: the release lands on another control,
    // but reaches the button that saw the press.
    Form1 &form = *panel_->form;
    QWindow *window = form.windowHandle();
    const QPoint onButton = button("Command1")->mapTo(&form, button("Command1")->rect().center());
    const QPoint elsewhere =
        button("Command16")->mapTo(&form, button("Command16")->rect().center());
    QTest::mousePress(window, Qt::LeftButton, {}, onButton);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QTest::mouseMove(window, elsewhere);
    QTest::mouseRelease(window, Qt::LeftButton, {}, elsewhere);
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
    QCOMPARE(line_->readAll(), QByteArray()); // and "END" was not clicked
    QVERIFY(form.isVisible());
}

void TstPanel::toggle_data()
{
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("after");
    QTest::addColumn<QString>("caption");
    const QString show = QStringLiteral("データを表示する");
    const QString hide = QStringLiteral("データを表示しない");
    QTest::newRow("5200 opens") << 5200.0f << 6645.0f << hide;
    QTest::newRow("5999 opens") << 5999.0f << 6645.0f << hide;
    QTest::newRow("6000 counts as tall") << 6000.0f << 5200.0f << show;
    QTest::newRow("6645 closes") << 6645.0f << 5200.0f << show;
    QTest::newRow("7200 closes") << 7200.0f << 5200.0f << show;
}

void TstPanel::toggle()
{
    QFETCH(float, before);
    QFETCH(float, after);
    QFETCH(QString, caption);
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    form.setHeight(before);
    QTest::mouseClick(button("Command34"), Qt::LeftButton);
    QCOMPARE(form.Height(), after);
    QCOMPARE(form.height(), twipsToPixels(after - 375));
    QCOMPARE(button("Command34")->text(), caption);
    QVERIFY(test::timer(form, "Timer3")->isActive());
    QCOMPARE(line_->readAll(), QByteArray());
}

void TstPanel::toggleRestartsThePortPanelTimer()
{
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    test::timer(form, "Timer3")->setInterval(2000);
    QTest::mouseClick(button("Command33"), Qt::LeftButton);
    QTest::qWait(1200);
    QTest::mouseClick(button("Command34"), Qt::LeftButton);
    QVERIFY(test::timer(form, "Timer3")->remainingTime() > 1000);
    QVERIFY(test::widget<QFrame>(form, "Frame8")->isVisible());
}

void TstPanel::keyCommandAfterTheToggle()
{
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    QTest::mouseClick(button("Command34"), Qt::LeftButton);
    QCOMPARE(form.Height(), 5200.0f);
    test::keyDown(form, Qt::Key_J, 2);
    QCOMPARE(form.Height(), 7200.0f);
    QCOMPARE(button("Command34")->text(), QStringLiteral("CLOSE"));
}

void TstPanel::failuresWhileAReportIsUpAreDropped()
{
    // The presenter stands for a modal box: while it is up, events go on, and the failures
    // they bring belong to the burst on screen.
    Form1 &form = *panel_->form;
    QStringList shown;
    form.setFailurePresenter([&](const QString &description) {
        shown << description;
        for (int i = 0; i < 3; ++i) {
            QTest::mouseClick(button("Command17"), Qt::LeftButton);
            QTest::qWait(20);
        }
    });
    form.engine().MSComm1().setPortOpen(false);
    QTest::mouseClick(button("Command17"), Qt::LeftButton);
    QTRY_COMPARE(shown.count(), 1);
    QTest::qWait(200);
    QCOMPARE(shown.count(), 1);
    QTest::mouseClick(button("Command18"), Qt::LeftButton); // a new burst
    QTRY_COMPARE(shown.count(), 2);
}

void TstPanel::modalReportDoesNotLeaveTheHoldsTimings()
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

QTEST_MAIN(TstPanel)
#include "tst_panel.moc"
