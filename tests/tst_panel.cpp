// The window over a real pseudo-terminal: every button reaches the line through the mouse or the
// keyboard as the platform delivers them, the display toggle, and how failures reach the operator.
// What the engine makes of a click or a hold is tst_engine's.

#include "protocol/commandtable.h"

#include "support/manualclock.h"
#include "support/panelfixture.h"

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

using namespace qv7;

class TstPanel : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup()
    {
        panel_.reset();
        line_.reset();
    }
    void everyButtonReachesTheLine_data();
    void everyButtonReachesTheLine();
    void keyboard_data();
    void keyboard();
    void releaseOutsideTheButtonStillStops();
    void toggle_data();
    void toggle();
    void toggleRestartsThePortPanelTimer();
    void failuresWhileAReportIsUpAreDropped();
    void modalReportEndsTheHold();

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
    QVERIFY(panel_->form->line().isOpen());
}

void TstPanel::everyButtonReachesTheLine_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("turn"); // of the hold buttons; -1 for a one-shot button
    for (const OneShotCommand &row : kOneShotCommands)
        QTest::newRow(row.control.data())
            << QByteArray(row.control.data()) << QByteArray::fromStdString(commandString(row.code))
            << -1;
    int turn = 0;
    for (const HoldCommand &row : kHoldCommands)
        QTest::newRow(row.control.data())
            << QByteArray(row.control.data()) << QByteArray::fromStdString(commandString(row.code))
            << turn++;
}

void TstPanel::everyButtonReachesTheLine()
{
    QFETCH(QByteArray, control);
    QFETCH(QByteArray, code);
    QFETCH(int, turn);
    // The hold buttons take turns with each mouse button and modifier: any of them holds.
    const std::pair<Qt::MouseButton, Qt::KeyboardModifiers> mice[] = {
        {Qt::LeftButton, {}},
        {Qt::RightButton, Qt::ShiftModifier},
        {Qt::MiddleButton, Qt::AltModifier},
        {Qt::LeftButton, Qt::ControlModifier}};
    const auto [mouse, modifiers] = mice[std::max(turn, 0) % 4];
    const Line &engine = panel_->form->line();
    QTest::mousePress(button(control), mouse, modifiers);
    QCOMPARE(engine.designState().Timer1.enabled, turn >= 0);
    QTest::mouseRelease(button(control), mouse, modifiers);
    QVERIFY(!engine.designState().Timer1.enabled);
    QCOMPARE(line_->readAll(), code);
}

void TstPanel::keyboard_data()
{
    // A focused one-shot button clicks once; a hold button acts on the mouse alone.
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("key");
    QTest::addColumn<QByteArray>("sent");
    for (const auto &[name, key] : {std::pair{"Space", Qt::Key_Space},
                                    {"Return", Qt::Key_Return},
                                    {"keypad Enter", Qt::Key_Enter}}) {
        QTest::addRow("POWER ON, %s", name) << QByteArray("Command17") << int(key) << "C00\r"_qba;
        QTest::addRow("hold, %s", name) << QByteArray("Command6") << int(key) << QByteArray();
    }
}

void TstPanel::keyboard()
{
    QFETCH(QByteArray, control);
    QFETCH(int, key);
    QFETCH(QByteArray, sent);
    panel_->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(panel_->form.get()));
    button(control)->setFocus();
    QTest::keyClick(button(control), Qt::Key(key));
    QCOMPARE(line_->readAll(), sent);
    QVERIFY(!panel_->form->line().designState().Timer1.enabled);
}

void TstPanel::releaseOutsideTheButtonStillStops()
{
    // Through the window: the release lands over "END" but reaches the button pressed.
    Form1 &form = *panel_->form;
    const QPoint onButton = button("Command1")->mapTo(&form, button("Command1")->rect().center());
    const QPoint onEnd = button("Command16")->mapTo(&form, button("Command16")->rect().center());
    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, onButton);
    QCOMPARE(line_->read(4), "C09\r"_qba);
    QTest::mouseMove(form.windowHandle(), onEnd);
    QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, onEnd);
    QVERIFY(!form.line().holding());
    QCOMPARE(line_->readAll(), QByteArray());
    QVERIFY(form.isVisible());
}

void TstPanel::toggle_data()
{
    QTest::addColumn<float>("before");
    QTest::addColumn<float>("after");
    QTest::addColumn<QString>("caption");
    const QString show = QStringLiteral("データを表示する"),
                  hide = QStringLiteral("データを表示しない");
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
    test::click(form, "Command34");
    QCOMPARE(form.Height(), after);
    QCOMPARE(button("Command34")->text(), caption);
}

void TstPanel::toggleRestartsThePortPanelTimer()
{
    // The display toggle gives the port panel its full 5 s again.
    cleanup();
    test::ManualClock clock;
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath(), {}, clock);
    Form1 &form = *panel->form;
    const auto *frame = test::widget<QFrame>(form, "Frame8");
    test::keyDown(form, Qt::Key_J, 2);
    test::click(form, "Command33");
    clock.advance(4000);
    test::click(form, "Command34");
    clock.advance(4999);
    QVERIFY(frame->isVisible());
    clock.advance(1);
    QVERIFY(!frame->isVisible());
}

void TstPanel::failuresWhileAReportIsUpAreDropped()
{
    // The presenter stands for a modal box: while it is up, events go on, and the failures they
    // bring belong to the burst on screen.
    Form1 &form = *panel_->form;
    QStringList shown;
    form.setFailurePresenter([&](const QString &description) {
        shown << description;
        for (int i = 0; i < 3; ++i) {
            test::click(form, "Command17");
            QCoreApplication::processEvents();
        }
    });
    form.line().closePort();
    test::click(form, "Command17");
    QTRY_COMPARE(shown.count(), 1);
    test::click(form, "Command18"); // a new burst: the next report, and none between
    QTRY_COMPARE(shown.count(), 2);
    QCOMPARE(shown.last(), shown.first());
}

void TstPanel::modalReportEndsTheHold()
{
    // The real warning box: the release happens while it is up, so the window never sees it.
    cleanup();
    test::PtyPair line;
    Form1 form;
    form.line().setDevice(1, line.slavePath());
    form.load();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    test::keyDown(form, Qt::Key_J, 2);
    CommandButton *zoomIn = test::widget<CommandButton>(form, "Command15");
    const QPoint onButton = zoomIn->mapTo(&form, zoomIn->rect().center());
    bool boxSeen = false;
    QTimer closer;
    connect(&closer, &QTimer::timeout, &form, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxSeen = true;
            closer.stop();
            QTest::mouseRelease(form.windowHandle(), Qt::LeftButton, {}, onButton);
            box->accept();
        }
    });
    closer.start(20);
    QTest::mousePress(form.windowHandle(), Qt::LeftButton, {}, onButton);
    QCOMPARE(line.read(4), "C47\r"_qba);
    line.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(boxSeen && !QApplication::activeModalWidget(), 10000);
    QVERIFY(!form.line().holding());
    QVERIFY(!form.line().designState().Timer1.enabled);
}

QTEST_MAIN(TstPanel)
#include "tst_panel.moc"
