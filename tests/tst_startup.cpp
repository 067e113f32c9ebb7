// Start-up, the hidden key command and "END", with COM1 on a pseudo-terminal.

#include "engine/serialcontrol.h"
#include "panel/layout.h"

#include "support/panelfixture.h"

#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace qv7;

namespace {

int clientHeightPixels(int outerTwips)
{
    return twipsToPixels(outerTwips - 375);
}

// Counts the presses of one key that reach one widget.
class KeyCounter : public QObject {
public:
    explicit KeyCounter(int key)
        : key_(key)
    {
    }
    int presses = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && static_cast<QKeyEvent *>(event)->key() == key_)
            ++presses;
        return false;
    }

private:
    int key_;
};

} // namespace

class TstStartup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUpOpensCom1Twice();
    void startUpState();
    void startUpPlacesTheWindow();
    void missingOrBusyCom1IsReported_data();
    void missingOrBusyCom1IsReported();
    void keyCommand_data();
    void keyCommand();
    void endClosesThePortFirst();
    void endOnAClosedPortStillEnds();
};

void TstStartup::startUpOpensCom1Twice()
{
    test::PtyPair line;
    Form1 form;
    form.setFailurePresenter([](const QString &) {});
    QSignalSpy reports(&form, &Form1::failureReported);
    QSignalSpy openings(&form.engine().MSComm1(), &SerialControl::portOpenChanged);
    form.engine().MSComm1().setDevice(1, line.slavePath());
    form.load();
    // Opened by start-up, then closed and opened again by the port switch that selecting
    // "COM1" runs.
    QCOMPARE(openings.count(), 3);
    QCOMPARE(openings.at(0).first().toBool(), true);
    QCOMPARE(openings.at(1).first().toBool(), false);
    QCOMPARE(openings.at(2).first().toBool(), true);
    QCOMPARE(form.engine().MSComm1().CommPort(), short(1));
    QCOMPARE(form.engine().MSComm1().Settings(), QStringLiteral("19200,N,8,1"));
    const termios attributes = line.attributes();
    QCOMPARE(cfgetospeed(&attributes), speed_t(B19200));
    QCOMPARE(cfgetispeed(&attributes), speed_t(B19200));
    QCOMPARE(attributes.c_cflag & CSIZE, tcflag_t(CS8));
    QCOMPARE(attributes.c_cflag & (PARENB | CSTOPB), tcflag_t(0));
    QTest::qWait(50);
    QCOMPARE(reports.count(), 0);
}

void TstStartup::startUpState()
{
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    QVERIFY(form.engine().MSComm1().PortOpen());
    QCOMPARE(form.Height(), 5200.0f);
    QCOMPARE(form.height(), clientHeightPixels(5200));
    QVERIFY(test::widget<QRadioButton>(form, "Option1")->isChecked());
    QVERIFY(!test::widget<QRadioButton>(form, "Option2")->isChecked());
    QVERIFY(test::widget<QRadioButton>(form, "Option3")->isChecked());
    QVERIFY(!test::widget<QRadioButton>(form, "Option4")->isChecked());
    for (const char *hidden :
         {"Frame8", "Frame9", "Frame15", "Command34", "Command44", "Command52"})
        QVERIFY2(test::outOfSight(form, test::widget<QWidget>(form, hidden)), hidden);
    QVERIFY(!test::outOfSight(form, test::widget<CommandButton>(form, "Command16")));
    const std::pair<const char *, int> timers[] = {
        {"Timer1", 200}, {"Timer2", 500}, {"Timer3", 5000}, {"Timer4", 1000}};
    for (const auto &[name, interval] : timers) {
        const QTimer *timer = test::timer(form, name);
        QVERIFY2(!timer->isActive(), qPrintable(timer->objectName()));
        QCOMPARE(timer->interval(), interval);
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    }
    QCOMPARE(form.engine().HeldButton(), std::uint8_t(0));
    QCOMPARE(form.engine().AwaitingReply(), std::uint8_t(0));
    QCOMPARE(form.engine().ArrowMode(), std::uint8_t(0));
    QVERIFY(form.engine().ReceivedText().empty());
    QVERIFY(form.engine().CurrentCommand().empty());
    QCOMPARE(form.engine().PortSettings(), QStringLiteral("19200,N,8,1"));
    QVERIFY(panel->failures.isEmpty());
}

void TstStartup::startUpPlacesTheWindow()
{
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    const QRect screen = panel->form->screen()->geometry();
    // Centred for the full design height, then shortened: the top edge stays put.
    const float left = (float(screen.width() * 15) - 9585) / 2;
    const float top = (float(screen.height() * 15) - 7200) / 2;
    QCOMPARE(panel->form->pos(), QPoint(twipsToPixels(left), twipsToPixels(top)));
}

void TstStartup::missingOrBusyCom1IsReported_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing") << false << "no such device";
    QTest::newRow("held by another program") << true << "in use by another program";
}

void TstStartup::missingOrBusyCom1IsReported()
{
    QFETCH(bool, busy);
    QFETCH(QString, expected);
    test::PtyPair line;
    SerialControl otherProgram;
    const QString device = test::unavailableDevice(busy, line, otherProgram);
    const auto panel = test::startPanel(device);
    QTRY_COMPARE(panel->failures.count(), 1);
    QVERIFY2(
        panel->failures.first().startsWith(QStringLiteral("COM1 (%1): %2").arg(device, expected)),
        qPrintable(panel->failures.first()));
    QVERIFY(!panel->form->engine().MSComm1().PortOpen());
    QVERIFY(panel->form->isVisible());
    QCOMPARE(panel->form->Height(), 5200.0f);
    if (busy) // nothing of the panel's reached the other program's line
        QCOMPARE(line.readAll(), QByteArray());
}

void TstStartup::keyCommand_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("grows");
    QTest::newRow("Ctrl+J") << int(Qt::Key_J) << int(Qt::ControlModifier) << true;
    QTest::newRow("J alone") << int(Qt::Key_J) << int(Qt::NoModifier) << false;
    QTest::newRow("Shift+J") << int(Qt::Key_J) << int(Qt::ShiftModifier) << false;
    QTest::newRow("Ctrl+Shift+J") << int(Qt::Key_J) << int(Qt::ControlModifier | Qt::ShiftModifier)
                                  << false;
    QTest::newRow("Ctrl+Alt+J") << int(Qt::Key_J) << int(Qt::ControlModifier | Qt::AltModifier)
                                << false;
    QTest::newRow("Ctrl+K") << int(Qt::Key_K) << int(Qt::ControlModifier) << false;
}

void TstStartup::keyCommand()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(bool, grows);
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Any control may have the focus; the window sees the key first and passes it on.
    test::widget<CommandButton>(form, "Command33")->setFocus();
    KeyCounter counter(key);
    test::widget<CommandButton>(form, "Command33")->installEventFilter(&counter);
    for (int i = 0; i < 2; ++i)
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key),
                        Qt::KeyboardModifiers(modifiers));
    QCOMPARE(counter.presses, 2);
    QCOMPARE(form.Height(), grows ? 7200.0f : 5200.0f);
    QCOMPARE(form.height(), clientHeightPixels(grows ? 7200 : 5200));
    QCOMPARE(test::widget<CommandButton>(form, "Command34")->isVisible(), grows);
    QCOMPARE(test::widget<CommandButton>(form, "Command34")->text(),
             grows ? QStringLiteral("CLOSE") : QStringLiteral("データを表示する"));
    if (grows) {
        for (const char *shown : {"Frame9", "Frame15", "Command34", "Command52"})
            QVERIFY2(!test::outOfSight(form, test::widget<QWidget>(form, shown)), shown);
    }
    QCOMPARE(line.readAll(), QByteArray());
}

void TstStartup::endClosesThePortFirst()
{
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    bool visibleWhenClosed = false;
    QObject context;
    QObject::connect(&form.engine().MSComm1(), &SerialControl::portOpenChanged, &context,
                     [&](bool open) { visibleWhenClosed = !open && form.isVisible(); });
    QTest::mouseClick(test::widget<CommandButton>(form, "Command16"), Qt::LeftButton);
    QVERIFY(visibleWhenClosed);
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QVERIFY(!form.isVisible());
    QVERIFY(line.slaveClosed());
    QTest::qWait(50);
    QVERIFY(panel->failures.isEmpty());
}

void TstStartup::endOnAClosedPortStillEnds()
{
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    panel->form->engine().MSComm1().setPortOpen(false);
    QTest::mouseClick(test::widget<CommandButton>(*panel->form, "Command16"), Qt::LeftButton);
    QVERIFY(!panel->form->isVisible());
    QTest::qWait(50);
    QVERIFY(panel->failures.isEmpty());
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
