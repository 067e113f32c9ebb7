// Start-up, the hidden key command and "END", with COM1 on a pseudo-terminal.

#include "layout/layout.h"

#include "support/panelfixture.h"

#include <QKeySequence>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstStartup : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUp();
    void missingCom1IsReported();
    void keyCommand_data();
    void keyCommand();
    void end_data();
    void end();
};

void TstStartup::startUp()
{
    test::PtyPair line;
    Form1 form;
    QStringList failures;
    form.setFailurePresenter([&](const QString &description) { failures << description; });
    QSignalSpy openings(&form.line(), &Line::portOpenChanged);
    form.line().setDevice(1, line.slavePath());
    form.load();
    // Opened by start-up, then closed and opened again by the switch that selecting "COM1" runs.
    QList<bool> states;
    for (const QList<QVariant> &arguments : openings)
        states << arguments.first().toBool();
    QCOMPARE(states, QList<bool>({true, false, true}));
    QCOMPARE(form.line().commPort(), short(1));
    QCOMPARE(line.speed(), speed_t(B19200));
    QCOMPARE(line.attributes().c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t(CS8));
    QVERIFY(test::widget<QRadioButton>(form, "Option1")->isChecked());

    // Centred for the full design height, then shortened: the top edge stays put.
    const QRect screen = form.screen()->geometry();
    QCOMPARE(form.pos(), QPoint(twipsToPixels((float(screen.width() * 15) - 9585) / 2),
                                twipsToPixels((float(screen.height() * 15) - 7200) / 2)));
    QCOMPARE(form.Height(), 5200.0f);
    const DesignState state = form.line().designState();
    QVERIFY(!state.Timer1.enabled && !state.Timer2.enabled && !form.traffic().Timer4().enabled);
    QVERIFY(!form.portChoiceTiming());
    // A failure is reported from the event loop: whatever was waiting there has come by now.
    QCoreApplication::processEvents();
    QVERIFY(failures.isEmpty());
}

void TstStartup::missingCom1IsReported()
{
    const auto panel = test::startPanel(QStringLiteral("/dev/qv7-no-such-port"));
    QTRY_COMPARE(panel->failures.count(), 1);
    QVERIFY2(panel->failures.first().startsWith(QStringLiteral("COM1 (/dev/qv7-no-such-port): ")),
             qPrintable(panel->failures.first()));
    QVERIFY(!panel->form->line().isOpen());
    QVERIFY(panel->form->isVisible());
}

void TstStartup::keyCommand_data()
{
    QTest::addColumn<QString>("keys");
    QTest::addColumn<bool>("grows");
    QTest::newRow("Ctrl+J") << "Ctrl+J" << true;
    for (const char *keys : {"J", "Shift+J", "Ctrl+Shift+J", "Ctrl+Alt+J", "Ctrl+K"})
        QTest::newRow(keys) << QString::fromLatin1(keys) << false;
}

void TstStartup::keyCommand()
{
    QFETCH(QString, keys);
    QFETCH(bool, grows);
    const QKeyCombination combination = QKeySequence(keys)[0];
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    // Any control may have the focus: the window sees the key before it. Twice: it only opens.
    auto *focused = test::widget<CommandButton>(form, "Command33");
    focused->setFocus();
    for (int i = 0; i < 2; ++i)
        QTest::keyClick(focused, combination.key(), combination.keyboardModifiers());
    QCOMPARE(form.height(), twipsToPixels(grows ? 7200 - 375 : 5200 - 375));
    QCOMPARE(test::widget<CommandButton>(form, "Command34")->text(),
             grows ? QStringLiteral("CLOSE") : QStringLiteral("データを表示する"));
    for (const char *name : {"Frame9", "Frame15", "Command34", "Command52"}) {
        const QWidget *shown = test::widget<QWidget>(form, name);
        const QRect area(shown->mapTo(&form, QPoint(0, 0)), shown->size());
        QVERIFY2((shown->isVisibleTo(&form) && area.intersects(form.rect())) == grows, name);
    }
    QCOMPARE(line.readAll(), QByteArray());
}

void TstStartup::end_data()
{
    QTest::addColumn<bool>("open");
    QTest::newRow("closes the port first") << true;
    QTest::newRow("on a closed port") << false;
}

void TstStartup::end()
{
    QFETCH(bool, open);
    test::PtyPair line;
    const auto panel = test::startPanel(line.slavePath());
    Form1 &form = *panel->form;
    if (!open)
        form.line().closePort();
    bool visibleWhenClosed = false;
    QObject context;
    connect(&form.line(), &Line::portOpenChanged, &context,
            [&](bool isOpen) { visibleWhenClosed = !isOpen && form.isVisible(); });
    test::click(form, "Command16");
    QCOMPARE(visibleWhenClosed, open);
    QVERIFY(!form.isVisible());
    QVERIFY(line.slaveClosed());
    QCoreApplication::processEvents();
    QVERIFY(panel->failures.isEmpty());
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
