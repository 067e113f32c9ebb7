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
    void switchToCom2AndBack();
    void choosingTheOpenPortAgainReopensIt();
    void failedSwitch_data();
    void failedSwitch();
    void closedPortOpensOnTheChosenPort_data();
    void closedPortOpensOnTheChosenPort();
    void speedOnTheOpenPort_data();
    void speedOnTheOpenPort();
    void speedOnAClosedPortIsKeptForTheNextOpen();
    void theTwoGroupsAreIndependent();

private:
    void openPortPanel();
    std::unique_ptr<test::PtyPair> com1_;
    std::unique_ptr<test::PtyPair> com2_;
    std::unique_ptr<test::Panel> panel_;
};

void TstPorts::init()
{
    com1_ = std::make_unique<test::PtyPair>();
    com2_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(com1_->slavePath(), com2_->slavePath());
    QVERIFY(panel_->form->engine().MSComm1().PortOpen());
}

void TstPorts::cleanup()
{
    panel_.reset();
    com1_.reset();
    com2_.reset();
}

void TstPorts::openPortPanel()
{
    QTest::mouseClick(test::widget<CommandButton>(*panel_->form, "Command33"), Qt::LeftButton);
    QVERIFY(test::widget<QFrame>(*panel_->form, "Frame8")->isVisible());
}

void TstPorts::comShowsThePanelOverItsButton()
{
    Form1 &form = *panel_->form;
    openPortPanel();
    QVERIFY(test::timer(form, "Timer3")->isActive());
    QCOMPARE(test::timer(form, "Timer3")->interval(), 5000);
    // The panel covers the button: a click there lands in the panel.
    const QPoint centre =
        test::widget<CommandButton>(form, "Command33")
            ->mapTo(&form, test::widget<CommandButton>(form, "Command33")->rect().center());
    QWidget *hit = form.childAt(centre);
    QVERIFY(hit == test::widget<QFrame>(form, "Frame8") ||
            test::widget<QFrame>(form, "Frame8")->isAncestorOf(hit));
    test::tick(test::timer(form, "Timer3"));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    QCOMPARE(com1_->readAll(), QByteArray());
}

void TstPorts::switchToCom2AndBack()
{
    Form1 &form = *panel_->form;
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QCOMPARE(form.engine().MSComm1().CommPort(), short(2));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    QVERIFY(test::timer(form, "Timer3")->isActive()); // a choice does not stop the panel's timer
    QVERIFY(com1_->slaveClosed());
    QCOMPARE(com2_->speed(), speed_t(B19200));
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(com2_->read(4), QByteArray("C00\r"));

    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QCOMPARE(form.engine().MSComm1().CommPort(), short(1));
    QVERIFY(com2_->slaveClosed());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command18"), Qt::LeftButton);
    QCOMPARE(com1_->read(4), QByteArray("C02\r"));
    QCOMPARE(com2_->readAll(), QByteArray());
    QVERIFY(panel_->failures.isEmpty());
}

void TstPorts::choosingTheOpenPortAgainReopensIt()
{
    Form1 &form = *panel_->form;
    QSignalSpy openings(&form.engine().MSComm1(), &SerialControl::portOpenChanged);
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QCOMPARE(openings.count(), 2);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
}

void TstPorts::failedSwitch_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("expected");
    QTest::newRow("COM2 missing") << false << "no such device";
    QTest::newRow("COM2 held by another program") << true << "in use by another program";
}

void TstPorts::failedSwitch()
{
    QFETCH(bool, busy);
    QFETCH(QString, expected);
    Form1 &form = *panel_->form;
    SerialControl otherProgram;
    const QString device = test::unavailableDevice(busy, *com2_, otherProgram);
    form.engine().MSComm1().setDevice(2, device);
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
    QCOMPARE(panel_->failures.count(), 1);
    QVERIFY2(
        panel_->failures.first().startsWith(QStringLiteral("COM2 (%1): %2").arg(device, expected)),
        qPrintable(panel_->failures.first()));
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QCOMPARE(form.engine().MSComm1().CommPort(), short(1));
    QVERIFY(test::widget<QRadioButton>(form, "Option2")->isChecked());
    QVERIFY(!test::widget<QRadioButton>(form, "Option1")->isChecked());
    QVERIFY(test::widget<QFrame>(form, "Frame8")->isVisible());
    QVERIFY(test::timer(form, "Timer3")->isActive());
    test::tick(test::timer(form, "Timer3"));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    if (busy)
        QCOMPARE(com2_->readAll(), QByteArray());
}

void TstPorts::closedPortOpensOnTheChosenPort_data()
{
    // A closed port, after a failed switch, opens on the port the operator chooses next.
    QTest::addColumn<bool>("chooseCom2Again");
    QTest::newRow("COM1") << false;
    QTest::newRow("COM2, once its device is there") << true;
}

void TstPorts::closedPortOpensOnTheChosenPort()
{
    QFETCH(bool, chooseCom2Again);
    Form1 &form = *panel_->form;
    form.engine().MSComm1().setDevice(2, QStringLiteral("/dev/qv7-no-such-port"));
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
    QCOMPARE(panel_->failures.count(), 1);
    QVERIFY(!form.engine().MSComm1().PortOpen());

    test::PtyPair *expectedLine = com1_.get();
    if (chooseCom2Again) {
        form.engine().MSComm1().setDevice(2, com2_->slavePath());
        QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
        expectedLine = com2_.get();
    } else {
        QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    }
    QVERIFY(form.engine().MSComm1().PortOpen());
    QCOMPARE(form.engine().MSComm1().CommPort(), short(chooseCom2Again ? 2 : 1));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    QCOMPARE(panel_->failures.count(), 1);
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(expectedLine->read(4), QByteArray("C00\r"));
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
    Form1 &form = *panel_->form;
    QSignalSpy openings(&form.engine().MSComm1(), &SerialControl::portOpenChanged);
    openPortPanel();
    QTest::mouseClick(qobject_cast<QRadioButton *>(form.control(option)), Qt::LeftButton);
    QCOMPARE(form.engine().PortSettings(), settings);
    QCOMPARE(form.engine().MSComm1().Settings(), settings);
    QCOMPARE(int(com1_->speed()), speed);
    QCOMPARE(openings.count(), 0); // neither closed nor reopened
    QVERIFY(form.engine().MSComm1().PortOpen());
    QCOMPARE(form.engine().MSComm1().CommPort(), short(1));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    QTest::mouseClick(test::widget<CommandButton>(form, "Command17"), Qt::LeftButton);
    QCOMPARE(com1_->read(4), QByteArray("C00\r"));
}

void TstPorts::speedOnAClosedPortIsKeptForTheNextOpen()
{
    Form1 &form = *panel_->form;
    form.engine().MSComm1().setPortOpen(false);
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option4"), Qt::LeftButton);
    QVERIFY(!form.engine().MSComm1().PortOpen());
    QCOMPARE(form.engine().MSComm1().Settings(), QStringLiteral("9600,N,8,1"));
    QVERIFY(!test::widget<QFrame>(form, "Frame8")->isVisible());
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option1"), Qt::LeftButton);
    QVERIFY(form.engine().MSComm1().PortOpen());
    QCOMPARE(com1_->speed(), speed_t(B9600));
}

void TstPorts::theTwoGroupsAreIndependent()
{
    Form1 &form = *panel_->form;
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option4"), Qt::LeftButton);
    QVERIFY(test::widget<QRadioButton>(form, "Option1")->isChecked());
    QVERIFY(test::widget<QRadioButton>(form, "Option4")->isChecked());
    QVERIFY(!test::widget<QRadioButton>(form, "Option3")->isChecked());
    openPortPanel();
    QTest::mouseClick(test::widget<QRadioButton>(form, "Option2"), Qt::LeftButton);
    QVERIFY(test::widget<QRadioButton>(form, "Option2")->isChecked());
    QVERIFY(!test::widget<QRadioButton>(form, "Option1")->isChecked());
    QVERIFY(test::widget<QRadioButton>(form, "Option4")->isChecked());
    QCOMPARE(com2_->speed(), speed_t(B9600));
}

QTEST_MAIN(TstPorts)
#include "tst_ports.moc"
