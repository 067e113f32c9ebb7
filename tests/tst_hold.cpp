// Press-and-hold buttons over the real line: the press, the repetition, the release, the
// arrow profiles and failures during a hold.

#include "commands/commandtable.h"

#include "support/panelfixture.h"

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
    void failedFirstTransmissionStartsNoRepetition_data();
    void failedFirstTransmissionStartsNoRepetition();

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
    form.Form_KeyDown(Qt::Key_J, 2);
    form.Label25->setText(QStringLiteral(" Power ON"));

    QTest::mousePress(button(control), Qt::LeftButton);
    QCOMPARE(line_->read(4), code);
    QCOMPARE(form.HeldButton, std::uint8_t(held));
    QCOMPARE(QByteArray::fromStdString(form.CurrentCommand), code);
    QVERIFY(form.Timer1->isActive());
    QCOMPARE(form.Timer1->interval(), repeat);
    QCOMPARE(form.Timer2->interval(), replyWindow);
    QCOMPARE(form.Timer4->interval(), displayTimeout);
    QVERIFY(form.Timer2->isActive());

    form.Timer1_Timer();
    QCOMPARE(line_->read(4), code);
    QVERIFY(form.Timer1->isActive());

    form.ReceivedText = "pending";
    QTest::mouseRelease(button(control), Qt::LeftButton);
    QCOMPARE(form.HeldButton, std::uint8_t(0));
    QVERIFY(!form.Timer1->isActive());
    QVERIFY(!form.Timer2->isActive());
    QVERIFY(form.Timer4->isActive());
    QCOMPARE(form.Timer2->interval(), 500);
    QCOMPARE(form.Timer4->interval(), 1000);
    QVERIFY(form.Label11->text().isEmpty());
    QVERIFY(form.Label12->text().isEmpty());
    QCOMPARE(form.Label25->text(), QStringLiteral(" Power ON")); // until the time-out
    QVERIFY(form.ReceivedText.empty());
    QCOMPARE(form.Timer1->interval(), digitalZoom ? 5 : repeat);
    QCOMPARE(form.ArrowMode, std::uint8_t(digitalZoom ? 3 : 0));
    form.Timer4_Timer();
    QVERIFY(form.Label25->text().isEmpty());
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
    QTest::mousePress(form.Command1, which, keys);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QCOMPARE(form.HeldButton, std::uint8_t(1));
    QVERIFY(form.Timer1->isActive());
    QTest::mouseRelease(form.Command1, which, keys);
    QCOMPARE(form.HeldButton, std::uint8_t(0));
    QVERIFY(!form.Timer1->isActive());
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
    form.Command6->setFocus();
    QTest::keyClick(form.Command6, Qt::Key(key));
    QCOMPARE(line_->readAll(), QByteArray());
    QCOMPARE(form.HeldButton, std::uint8_t(0));
    QVERIFY(!form.Timer1->isActive());
}

void TstHold::releaseOutsideTheButtonStillStops()
{
    // Through the window, as the platform delivers it: the release lands on another control,
    // but reaches the button that saw the press.
    Form1 &form = *panel_->form;
    QWindow *window = form.windowHandle();
    const QPoint onButton = form.Command1->mapTo(&form, form.Command1->rect().center());
    const QPoint elsewhere = form.Command16->mapTo(&form, form.Command16->rect().center());
    QTest::mousePress(window, Qt::LeftButton, {}, onButton);
    QCOMPARE(line_->read(4), QByteArray("C09\r"));
    QTest::mouseMove(window, elsewhere);
    QTest::mouseRelease(window, Qt::LeftButton, {}, elsewhere);
    QCOMPARE(form.HeldButton, std::uint8_t(0));
    QVERIFY(!form.Timer1->isActive());
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
        QCOMPARE(form.Timer1->interval(), repeat);
        QCOMPARE(form.Timer2->interval(), replyWindow);
        QCOMPARE(form.Timer4->interval(), displayTimeout);
        QVERIFY(form.Timer1->isActive());
        QTest::mouseRelease(button(QString::fromLatin1(arrow)), Qt::LeftButton);
    }
}

void TstHold::tickWithNothingHeldSendsNothing()
{
    Form1 &form = *panel_->form;
    form.Timer1_Timer();
    QCOMPARE(line_->readAll(), QByteArray());
    QVERIFY(form.Label11->text().isEmpty());
}

void TstHold::failedFirstTransmissionStartsNoRepetition_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("replyWindow");
    QTest::newRow("VOL +: no interval written") << QStringList() << "Command1" << 500;
    QTest::newRow("up after CURSOL: its intervals come first")
        << QStringList{"Command43"} << "Command5" << 50;
}

void TstHold::failedFirstTransmissionStartsNoRepetition()
{
    QFETCH(QStringList, before);
    QFETCH(QString, control);
    QFETCH(int, replyWindow);
    Form1 &form = *panel_->form;
    for (const QString &name : before)
        QTest::mouseClick(button(name), Qt::LeftButton);
    const int repeat = form.Timer1->interval();
    QSignalSpy reports(&form, &Form1::failureReported);
    form.MSComm1->setPortOpen(false);
    QTest::mousePress(button(control), Qt::LeftButton);
    QVERIFY(reports.wait(5000));
    QVERIFY(!form.Timer1->isActive());
    QCOMPARE(form.Timer1->interval(), repeat);
    QCOMPARE(form.Timer2->interval(), replyWindow);
    QTest::mouseRelease(button(control), Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(reports.count(), 1);
}

QTEST_MAIN(TstHold)
#include "tst_hold.moc"
