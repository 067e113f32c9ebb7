// The panel on its simulated projector, as `qv7rsc --simulate` runs it: buttons clicked, the
// projector's answers read off the status line.

#include "sim/server.h"

#include "support/panelfixture.h"

#include <QDir>
#include <QTest>

using namespace qv7;
using namespace std::chrono_literals;

class TstEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void powerCycle();
    void inputSelectThenMode_data();
    void inputSelectThenMode();
    void lampHoursAndOrientation();
    void speedMismatchAndRecovery();

private:
    // Clicks a button once the last reply window has closed, so that its answer is read alone.
    void clickAlone(CommandButton *button);
    // Clicks a query until the status line shows the text, as an operator would.
    bool queryUntil(CommandButton *query, const QString &status);
    void powerOn();

    std::unique_ptr<sim::SimulatorServer> projector_;
    std::unique_ptr<test::Panel> panel_;
};

void TstEndToEnd::init()
{
    sim::ProjectorSettings settings;
    settings.warmUp = 1500ms;
    settings.coolDown = 1500ms;
    settings.lampHours = 123;
    settings.orientation = "10";
    projector_ = std::make_unique<sim::SimulatorServer>(settings);
    QVERIFY(projector_->openPseudoTerminal());
    panel_ = test::startPanel(projector_->portName());
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    QVERIFY(form.engine().MSComm1().PortOpen());
}

void TstEndToEnd::cleanup()
{
    panel_.reset();
    projector_.reset();
}

void TstEndToEnd::clickAlone(CommandButton *button)
{
    QTRY_VERIFY(!test::timer(*panel_->form, "Timer2")->isActive());
    QTest::mouseClick(button, Qt::LeftButton);
}

bool TstEndToEnd::queryUntil(CommandButton *query, const QString &status)
{
    return QTest::qWaitFor(
        [&] {
            clickAlone(query);
            return QTest::qWaitFor(
                [&] { return test::widget<QLabel>(*panel_->form, "Label25")->text() == status; },
                150);
        },
        10000);
}

void TstEndToEnd::powerOn()
{
    clickAlone(test::widget<CommandButton>(*panel_->form, "Command17"));
    QTRY_COMPARE(test::widget<QLabel>(*panel_->form, "Label12")->text(),
                 QStringLiteral(" ACK CR "));
    QVERIFY(queryUntil(test::widget<CommandButton>(*panel_->form, "Command44"),
                       QStringLiteral(" Power ON")));
}

void TstEndToEnd::powerCycle()
{
    Form1 &form = *panel_->form;
    QVERIFY(
        queryUntil(test::widget<CommandButton>(form, "Command44"), QStringLiteral(" Stand by")));
    clickAlone(test::widget<CommandButton>(form, "Command17"));
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    QVERIFY(
        queryUntil(test::widget<CommandButton>(form, "Command44"), QStringLiteral(" Count down")));
    QVERIFY(
        queryUntil(test::widget<CommandButton>(form, "Command44"), QStringLiteral(" Power ON")));
    const QString artifacts = qEnvironmentVariable("QV7_ARTIFACTS", QDir::tempPath());
    QDir().mkpath(artifacts);
    QVERIFY(form.grab().save(artifacts + QStringLiteral("/panel-power-on.png")));
    clickAlone(test::widget<CommandButton>(form, "Command18"));
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    QVERIFY(queryUntil(test::widget<CommandButton>(form, "Command44"),
                       QStringLiteral(" Cooling down")));
    QVERIFY(
        queryUntil(test::widget<CommandButton>(form, "Command44"), QStringLiteral(" Stand by")));
    QVERIFY(panel_->failures.isEmpty());
}

void TstEndToEnd::inputSelectThenMode_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("status");
    QTest::newRow("PC 2") << "Command28"
                          << " Computer 2";
    QTest::newRow("Video") << "Command29"
                           << " Video";
    QTest::newRow("PC 1") << "Command27"
                          << " Computer 1";
}

void TstEndToEnd::inputSelectThenMode()
{
    QFETCH(QString, control);
    QFETCH(QString, status);
    powerOn();
    Form1 &form = *panel_->form;
    if (control != QLatin1String("Command27")) {
        clickAlone(test::widget<CommandButton>(form, "Command29") == form.control(control)
                       ? test::widget<CommandButton>(form, "Command28")
                       : test::widget<CommandButton>(form, "Command29"));
        QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    }
    clickAlone(qobject_cast<CommandButton *>(form.control(control)));
    QTRY_COMPARE(test::widget<QLabel>(form, "Label12")->text(), QStringLiteral(" ACK CR "));
    QVERIFY(queryUntil(test::widget<CommandButton>(form, "Command45"), status));
}

void TstEndToEnd::lampHoursAndOrientation()
{
    Form1 &form = *panel_->form;
    QVERIFY(queryUntil(test::widget<CommandButton>(form, "Command46"),
                       QStringLiteral(" 0 1 2 3 Hour Use")));
    QVERIFY(queryUntil(test::widget<CommandButton>(form, "Command47"),
                       QStringLiteral(" Top/Bottom reversal")));
}

void TstEndToEnd::speedMismatchAndRecovery()
{
    Form1 &form = *panel_->form;
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option4"),
                      Qt::LeftButton); // 9600 against a 19200 projector
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    clickAlone(test::widget<CommandButton>(form, "Command44"));
    QTRY_VERIFY(!test::widget<QLabel>(form, "Label12")->text().isEmpty());
    QVERIFY(!QTest::qWaitFor(
        [&] { return !test::widget<QLabel>(form, "Label25")->text().isEmpty(); }, 600));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command33"), Qt::LeftButton);
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option3"), Qt::LeftButton);
    QVERIFY(
        queryUntil(test::widget<CommandButton>(form, "Command44"), QStringLiteral(" Stand by")));
}

QTEST_MAIN(TstEndToEnd)
#include "tst_endtoend.moc"
