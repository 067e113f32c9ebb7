// One-shot buttons through the real line: the exact bytes of each, the TXD line, the arrow
// modes, and what a failing write does.

#include "support/panelfixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstOneShot : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void sendsItsCode_data();
    void sendsItsCode();
    void arrowModeButtons_data();
    void arrowModeButtons();
    void keyboardClicksTheFocusedButton_data();
    void keyboardClicksTheFocusedButton();
    void failedWriteIsReportedAndNotShown_data();
    void failedWriteIsReportedAndNotShown();
    void burstOfFailuresGivesOneReport();

private:
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstOneShot::init()
{
    line_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(line_->slavePath());
    QVERIFY(panel_->form->engine().MSComm1().PortOpen());
}

void TstOneShot::cleanup()
{
    panel_.reset();
    line_.reset();
}

void TstOneShot::sendsItsCode_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QString>("txd");
    const struct {
        const char *control, *caption, *code;
    } design[] = {
        {"Command17", "POWER ON", "C00"},       {"Command18", "POWER OFF", "C02"},
        {"Command27", "PC 1", "C05"},           {"Command28", "PC 2", "C06"},
        {"Command29", "Video", "C07"},          {"Command19", "AUDIO MUTE ON", "C0B"},
        {"Command20", "AUDIO MUTE OFF", "C0C"}, {"Command21", "VIDEO MUTE ON", "C0D"},
        {"Command22", "VIDEO MUTE OFF", "C0E"}, {"Command31", "Normal", "C0F"},
        {"Command32", "Wide", "C10"},           {"Command23", "MENU ON", "C1C"},
        {"Command24", "MENU OFF", "C1D"},       {"Command25", "FREEZE ON", "C43"},
        {"Command26", "FREEZE OFF", "C44"},     {"Command13", "A-IMAGE", "C89"},
        {"Command4", "NORMAL", "C1F"},          {"Command43", "CURSOL", "C4F"},
        {"Command14", "P-TIMER", "C8A"},        {"Command3", "DISPLAY CLEAR", "C1E"},
        {"Command10", "ZOOM", "C80"},           {"Command11", "FOCUS", "C87"},
        {"Command41", "Lens shift", "C88"},     {"Command44", "STATUS", "CR0"},
        {"Command45", "MODE", "CR1"},           {"Command46", "L-TIME", "CR3"},
        {"Command47", "SETTING", "CR4"},        {"Command52", "C01", "C01"},
    };
    for (const auto &row : design) {
        const QByteArray code(row.code);
        QTest::addRow("%s %s", row.control, row.caption)
            << QString::fromLatin1(row.control) << code + '\r'
            << QStringLiteral(" %1 %2 %3 CR ").arg(QChar(code[0]), QChar(code[1]), QChar(code[2]));
    }
}

void TstOneShot::sendsItsCode()
{
    QFETCH(QString, control);
    QFETCH(QByteArray, code);
    QFETCH(QString, txd);
    Form1 &form = *panel_->form;
    auto *button = qobject_cast<QPushButton *>(form.control(control));
    QVERIFY(button);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(line_->read(4), code);
    QCOMPARE(line_->readAll(), QByteArray()); // nothing more than the code and its CR
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), txd);
    QCOMPARE(QByteArray::fromStdString(form.engine().CurrentCommand()), code);
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(1));
    QVERIFY(test::timer(form, "Timer2")->isActive());
    QVERIFY(test::timer(form, "Timer4")->isActive());
    QVERIFY(test::widget<QLabel>(form, "Label12")->text().isEmpty());
    QVERIFY(test::widget<QLabel>(form, "Label25")->text().isEmpty());
}

void TstOneShot::arrowModeButtons_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("arrowMode");
    QTest::newRow("MENU ON") << "Command23" << 200 << 1;
    QTest::newRow("A-IMAGE") << "Command13" << 200 << 1;
    QTest::newRow("ZOOM") << "Command10" << 50 << 2;
    QTest::newRow("FOCUS") << "Command11" << 100 << 2;
    QTest::newRow("Lens shift") << "Command41" << 50 << 2;
    QTest::newRow("CURSOL") << "Command43" << 30 << 2;
}

void TstOneShot::arrowModeButtons()
{
    QFETCH(QString, control);
    QFETCH(int, period);
    QFETCH(int, arrowMode);
    Form1 &form = *panel_->form;
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(0));
    QCOMPARE(test::timer(form, "Timer1")->interval(), 200);
    // Start from the digital-zoom profile, so that every row changes something.
    QTest::mousePress(test::widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QTest::mouseRelease(test::widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(3));
    QTest::mouseClick(qobject_cast<QPushButton *>(form.control(control)), Qt::LeftButton);
    QCOMPARE(test::timer(form, "Timer1")->interval(), period);
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(arrowMode));
    QVERIFY(!test::timer(form, "Timer1")->isActive());
}

void TstOneShot::keyboardClicksTheFocusedButton_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("Space") << int(Qt::Key_Space);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("keypad Enter") << int(Qt::Key_Enter);
}

void TstOneShot::keyboardClicksTheFocusedButton()
{
    QFETCH(int, key);
    Form1 &form = *panel_->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QCOMPARE(QApplication::focusWidget(), test::widget<CommandButton>(form, "Command17"));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
    QCOMPARE(line_->read(4), QByteArray("C00\r"));
    QCOMPARE(line_->readAll(), QByteArray()); // once
}

void TstOneShot::failedWriteIsReportedAndNotShown_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("plain") << "Command18" << QByteArray("C02\r");
    QTest::newRow("query") << "Command44" << QByteArray("CR0\r");
    QTest::newRow("arrow mode") << "Command43" << QByteArray("C4F\r");
}

void TstOneShot::failedWriteIsReportedAndNotShown()
{
    QFETCH(QString, control);
    QFETCH(QByteArray, code);
    Form1 &form = *panel_->form;
    QSignalSpy reports(&form, &Form1::failureReported);
    form.engine().MSComm1().setPortOpen(false);
    QTest::mouseClick(qobject_cast<QPushButton *>(form.control(control)), Qt::LeftButton);
    QVERIFY(reports.wait(5000));
    QVERIFY2(reports.first().first().toString().startsWith(
                 QStringLiteral("COM1 (%1): the port is not open").arg(line_->slavePath())),
             qPrintable(reports.first().first().toString()));
    // The handler ended at the write: the command is current, but not shown, and the later
    // steps did not run.
    QCOMPARE(QByteArray::fromStdString(form.engine().CurrentCommand()), code);
    QVERIFY(test::widget<QLabel>(form, "Label11")->text().isEmpty());
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(0));
    QVERIFY(!test::timer(form, "Timer2")->isActive());
    QCOMPARE(test::timer(form, "Timer1")->interval(), 200);
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(0));
    QVERIFY(form.isVisible());
}

void TstOneShot::burstOfFailuresGivesOneReport()
{
    Form1 &form = *panel_->form;
    QSignalSpy reports(&form, &Form1::failureReported);
    form.engine().MSComm1().setPortOpen(false);
    for (int i = 0; i < 5; ++i)
        QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QVERIFY(reports.wait(5000));
    QTest::qWait(100);
    QCOMPARE(reports.count(), 1);
    QCOMPARE(panel_->failures.count(), 1);
    // A later failure, after the first report, is reported again.
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QVERIFY(reports.wait(5000));
    QCOMPARE(reports.count(), 2);
}

QTEST_MAIN(TstOneShot)
#include "tst_oneshot.moc"
