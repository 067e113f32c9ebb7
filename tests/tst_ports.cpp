// Port and speed selection with COM1 and COM2 on two pseudo-terminals.

#include "support/manualclock.h"
#include "support/panelfixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstPorts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup()
    {
        panel_.reset();
        com1_.reset();
        com2_.reset();
    }
    void comShowsThePanelOverItsButton();
    void choose_data();
    void choose();
    void failedSwitchAndRecovery_data();
    void failedSwitchAndRecovery();

private:
    void choose(const QString &option);
    Form1 &form() const { return *panel_->form; }
    bool panelShown() const { return test::widget<QFrame>(form(), "Frame8")->isVisible(); }
    Line &line() const { return form().line(); }
    test::PtyPair &line(int number) const { return number == 1 ? *com1_ : *com2_; }
    std::unique_ptr<test::PtyPair> com1_;
    std::unique_ptr<test::PtyPair> com2_;
    std::unique_ptr<test::ManualClock> clock_ = std::make_unique<test::ManualClock>();
    std::unique_ptr<test::Panel> panel_;
};

void TstPorts::init()
{
    com1_ = std::make_unique<test::PtyPair>();
    com2_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(com1_->slavePath(), com2_->slavePath(), *clock_);
    QVERIFY(line().isOpen());
}

void TstPorts::choose(const QString &option)
{
    test::click(form(), "Command33");
    test::click(form(), qPrintable(option));
}

void TstPorts::comShowsThePanelOverItsButton()
{
    test::click(form(), "Command33");
    QVERIFY(panelShown());
    // The panel covers the button: a click there lands in the panel.
    auto *com = test::widget<CommandButton>(form(), "Command33");
    QVERIFY(test::widget<QFrame>(form(), "Frame8")
                ->isAncestorOf(form().childAt(com->mapTo(&form(), com->rect().center()))));
    clock_->advance(5000);
    QVERIFY(!panelShown());
}

void TstPorts::choose_data()
{
    // The choices made in turn; the port's state changes, closing included, and where the line ends
    // up. Each group of the panel keeps its own choice.
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QStringList>("choices");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<int>("speed");
    QTest::addColumn<int>("changes");
    const int fast = B19200, slow = B9600;
    QTest::newRow("COM2") << false << QStringList{"Option2"} << 2 << fast << 2;
    QTest::newRow("COM2 and back") << false << QStringList{"Option2", "Option1"} << 1 << fast << 4;
    QTest::newRow("the open port again reopens it")
        << false << QStringList{"Option1"} << 1 << fast << 2;
    QTest::newRow("9600 on the open port") << false << QStringList{"Option4"} << 1 << slow << 0;
    QTest::newRow("19200 again") << false << QStringList{"Option3"} << 1 << fast << 0;
    QTest::newRow("9600 on a closed port, kept for the next open")
        << true << QStringList{"Option4", "Option2"} << 2 << slow << 1;
}

void TstPorts::choose()
{
    QFETCH(bool, closed);
    QFETCH(QStringList, choices);
    QFETCH(int, chosen);
    QFETCH(int, speed);
    QFETCH(int, changes);
    if (closed)
        line().closePort();
    QSignalSpy spy(&line(), &Line::portOpenChanged);
    for (const QString &option : choices)
        choose(option);
    QCOMPARE(spy.count(), changes);
    QVERIFY(line().isOpen());
    QCOMPARE(line().commPort(), short(chosen));
    QCOMPARE(int(line(chosen).speed()), speed);
    QVERIFY(!panelShown());
    QVERIFY(form().portChoiceTiming()); // a choice leaves its timer
    for (const auto &[option, checked] : {std::pair{"Option1", chosen == 1},
                                          {"Option2", chosen == 2},
                                          {"Option3", speed == B19200},
                                          {"Option4", speed == B9600}})
        QVERIFY2(test::widget<QRadioButton>(form(), option)->isChecked() == checked, option);
    test::click(form(), "Command17");
    QCOMPARE(line(chosen).read(4), QByteArray("C00\r"));
    QCOMPARE(line(3 - chosen).readAll(), QByteArray());
    QVERIFY(panel_->failures.isEmpty());
}

void TstPorts::failedSwitchAndRecovery_data()
{
    // The switch to COM2 fails; the closed port then opens on the port chosen next.
    QTest::addColumn<bool>("busy");
    QTest::addColumn<int>("recoverOn");
    QTest::newRow("COM2 missing, then COM1") << false << 1;
    QTest::newRow("COM2 busy, then COM2 freed") << true << 2;
}

void TstPorts::failedSwitchAndRecovery()
{
    QFETCH(bool, busy);
    QFETCH(int, recoverOn);
    SerialControl otherProgram; // holds COM2 open when busy
    const QString device = busy ? com2_->slavePath() : QStringLiteral("/dev/qv7-no-such-port");
    otherProgram.setDevice(1, device);
    otherProgram.setPortOpen(busy);
    line().setDevice(2, device);
    choose(QStringLiteral("Option2"));
    QCOMPARE(panel_->failures.count(), 1);
    QVERIFY2(panel_->failures.first().startsWith(QStringLiteral("COM2 (%1): ").arg(device)),
             qPrintable(panel_->failures.first()));
    QVERIFY(!line().isOpen());
    QVERIFY(test::widget<QRadioButton>(form(), "Option2")->isChecked());
    QVERIFY(panelShown());
    QVERIFY(form().portChoiceTiming());

    otherProgram.setPortOpen(false);
    test::click(form(), recoverOn == 1 ? "Option1" : "Option2");
    QVERIFY(line().isOpen());
    QCOMPARE(line().commPort(), short(recoverOn));
    QVERIFY(!panelShown());
    QCOMPARE(panel_->failures.count(), 1);
    test::click(form(), "Command17");
    QCOMPARE(line(recoverOn).read(4), QByteArray("C00\r"));
}

QTEST_MAIN(TstPorts)
#include "tst_ports.moc"
