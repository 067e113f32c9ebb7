// Port and speed selection with COM1 and COM2 on two pseudo-terminals.

#include "engine/serialcontrol.h"

#include "support/panelfixture.h"

#include <QSignalSpy>
#include <QTest>

using namespace qv7;

class TstPorts : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void comShowsThePanelOverItsButton();
    void switchPort_data();
    void switchPort();
    void failedSwitchAndRecovery_data();
    void failedSwitchAndRecovery();
    void speedOnTheOpenPort_data();
    void speedOnTheOpenPort();
    void speedOnAClosedPortIsKeptForTheNextOpen();

private:
    // Opens the port panel and clicks one of its choices.
    void choose(const char *option);
    bool panelShown() const { return test::widget<QFrame>(*panel_->form, "Frame8")->isVisible(); }
    SerialControl &port() const { return panel_->form->engine().MSComm1(); }
    test::PtyPair &line(int number) const { return number == 1 ? *com1_ : *com2_; }
    std::unique_ptr<test::PtyPair> com1_;
    std::unique_ptr<test::PtyPair> com2_;
    std::unique_ptr<test::Panel> panel_;
};

void TstPorts::init()
{
    com1_ = std::make_unique<test::PtyPair>();
    com2_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(com1_->slavePath(), com2_->slavePath());
    QVERIFY(port().PortOpen());
}

void TstPorts::cleanup()
{
    panel_.reset();
    com1_.reset();
    com2_.reset();
}

void TstPorts::choose(const char *option)
{
    test::click(*panel_->form, "Command33");
    QVERIFY(panelShown());
    test::click(*panel_->form, option);
}

void TstPorts::comShowsThePanelOverItsButton()
{
    Form1 &form = *panel_->form;
    test::click(form, "Command33");
    QVERIFY(test::timer(form, "Timer3")->isActive());
    QCOMPARE(test::timer(form, "Timer3")->interval(), 5000);
    // The panel covers the button: a click there lands in the panel.
    auto *com = test::widget<CommandButton>(form, "Command33");
    QWidget *hit = form.childAt(com->mapTo(&form, com->rect().center()));
    QVERIFY(test::widget<QFrame>(form, "Frame8")->isAncestorOf(hit));
    test::tick(test::timer(form, "Timer3"));
    QVERIFY(!panelShown());
}

void TstPorts::switchPort_data()
{
    QTest::addColumn<QStringList>("choices");
    QTest::addColumn<int>("chosen");
    QTest::addColumn<int>("openings"); // changes of the port's state, closing included
    QTest::newRow("COM2") << QStringList{"Option2"} << 2 << 2;
    QTest::newRow("COM2 and back") << QStringList{"Option2", "Option1"} << 1 << 4;
    QTest::newRow("the open port again reopens it") << QStringList{"Option1"} << 1 << 2;
}

void TstPorts::switchPort()
{
    QFETCH(QStringList, choices);
    QFETCH(int, chosen);
    QFETCH(int, openings);
    QSignalSpy changes(&port(), &SerialControl::portOpenChanged);
    for (const QString &option : choices)
        choose(qPrintable(option));
    QCOMPARE(changes.count(), openings);
    QVERIFY(port().PortOpen());
    QCOMPARE(port().CommPort(), short(chosen));
    QVERIFY(!panelShown());
    QVERIFY(test::timer(*panel_->form, "Timer3")->isActive()); // a choice leaves its timer
    QCOMPARE(line(chosen).speed(), speed_t(B19200));
    test::click(*panel_->form, "Command17");
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
    Form1 &form = *panel_->form;
    SerialControl otherProgram;
    const QString device = test::unavailableDevice(busy, *com2_, otherProgram);
    port().setDevice(2, device);
    choose("Option2");
    QCOMPARE(panel_->failures.count(), 1);
    QVERIFY2(panel_->failures.first().startsWith(QStringLiteral("COM2 (%1): ").arg(device)),
             qPrintable(panel_->failures.first()));
    QVERIFY(!port().PortOpen());
    QCOMPARE(port().CommPort(), short(1));
    QVERIFY(test::widget<QRadioButton>(form, "Option2")->isChecked());
    QVERIFY(panelShown());
    QVERIFY(test::timer(form, "Timer3")->isActive());

    otherProgram.setPortOpen(false);
    test::click(form, recoverOn == 1 ? "Option1" : "Option2");
    QVERIFY(port().PortOpen());
    QCOMPARE(port().CommPort(), short(recoverOn));
    QVERIFY(!panelShown());
    QCOMPARE(panel_->failures.count(), 1);
    test::click(form, "Command17");
    QCOMPARE(line(recoverOn).read(4), QByteArray("C00\r"));
}

void TstPorts::speedOnTheOpenPort_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("speed");
    QTest::newRow("9600") << "Option4"
                          << "9600,N,8,1" << int(B9600);
    QTest::newRow("19200 again") << "Option3"
                                 << "19200,N,8,1" << int(B19200);
}

void TstPorts::speedOnTheOpenPort()
{
    QFETCH(QString, option);
    QFETCH(QString, settings);
    QFETCH(int, speed);
    QSignalSpy changes(&port(), &SerialControl::portOpenChanged);
    choose(qPrintable(option));
    QCOMPARE(port().Settings(), settings);
    QCOMPARE(int(com1_->speed()), speed);
    QCOMPARE(changes.count(), 0); // neither closed nor reopened
    QVERIFY(port().PortOpen());
    QVERIFY(!panelShown());
    test::click(*panel_->form, "Command17");
    QCOMPARE(com1_->read(4), QByteArray("C00\r"));
}

void TstPorts::speedOnAClosedPortIsKeptForTheNextOpen()
{
    // Each group of the panel keeps its own choice.
    port().setPortOpen(false);
    choose("Option4");
    QVERIFY(!port().PortOpen());
    QCOMPARE(port().Settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(!panelShown());
    choose("Option2");
    QVERIFY(port().PortOpen());
    QCOMPARE(com2_->speed(), speed_t(B9600));
    for (const auto &[option, checked] :
         {std::pair{"Option1", false}, {"Option2", true}, {"Option3", false}, {"Option4", true}})
        QCOMPARE(test::widget<QRadioButton>(*panel_->form, option)->isChecked(), checked);
}

QTEST_MAIN(TstPorts)
#include "tst_ports.moc"
