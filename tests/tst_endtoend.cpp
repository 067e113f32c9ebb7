// The whole program on its simulated projector, as `qv7rsc --simulate` runs it: an operator's
// session read off the status line, from stand-by through warm-up and the inputs and back.

#include "sim/server.h"

#include "support/panelfixture.h"

#include <QDir>
#include <QTest>

using namespace qv7;
using namespace std::chrono_literals;

namespace {

// Clicks a button once the last reply window has closed, so that its answer is read alone.
bool clickAlone(Form1 &form, const char *button)
{
    if (!QTest::qWaitFor([&] { return !form.line().designState().Timer2.enabled; }, 5000))
        return false;
    test::click(form, button);
    return true;
}

// Clicks a query until the status line shows the text, as an operator would.
bool queryUntil(Form1 &form, const char *query, const char *status)
{
    const QLabel *line = test::widget<QLabel>(form, "Label25");
    const auto shown = [&] { return line->text() == QLatin1String(status); };
    return QTest::qWaitFor([&] { return clickAlone(form, query) && QTest::qWaitFor(shown, 150); },
                           10000);
}

// Clicks a command and waits for the projector's acknowledgement.
bool command(Form1 &form, const char *button)
{
    const QLabel *reply = test::widget<QLabel>(form, "Label12");
    return clickAlone(form, button) &&
           QTest::qWaitFor([&] { return reply->text() == QLatin1String(" ACK CR "); }, 5000);
}

} // namespace

class TstEndToEnd : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void session();
};

void TstEndToEnd::session()
{
    sim::SimulatorServer projector(
        {.warmUp = 1500ms, .coolDown = 1500ms, .lampHours = 123, .orientation = "10"});
    QVERIFY(projector.openPseudoTerminal());
    const auto panel = test::startPanel(projector.portName());
    Form1 &form = *panel->form;
    test::keyDown(form, Qt::Key_J, 2);

    QVERIFY(queryUntil(form, "Command44", " Stand by"));
    QVERIFY(queryUntil(form, "Command46", " 0 1 2 3 Hour Use"));
    QVERIFY(queryUntil(form, "Command47", " Top/Bottom reversal"));
    QVERIFY(command(form, "Command17")); // POWER ON
    QVERIFY(queryUntil(form, "Command44", " Count down"));
    QVERIFY(queryUntil(form, "Command44", " Power ON"));
    const QString artifacts = qEnvironmentVariable("QV7_ARTIFACTS", QDir::tempPath());
    QDir().mkpath(artifacts);
    QVERIFY(form.grab().save(artifacts + QStringLiteral("/panel-power-on.png")));
    // Each input differs from the one before it, so each answer shows a change.
    const std::pair<const char *, const char *> inputs[] = {
        {"Command28", " Computer 2"}, {"Command29", " Video"}, {"Command27", " Computer 1"}};
    for (const auto &[button, status] : inputs) {
        QVERIFY2(command(form, button), button);
        QVERIFY2(queryUntil(form, "Command45", status), status);
    }
    QVERIFY(command(form, "Command18")); // POWER OFF
    QVERIFY(queryUntil(form, "Command44", " Cooling down"));
    QVERIFY(queryUntil(form, "Command44", " Stand by"));
    QVERIFY(panel->failures.isEmpty());
}

QTEST_MAIN(TstEndToEnd)
#include "tst_endtoend.moc"
