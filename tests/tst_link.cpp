// The serial control and its line settings, over real pseudo-terminals.

#include "engine/serialcontrol.h"
#include "engine/serialtransport.h"
#include "protocol/linesettings.h"
#include "protocol/portnames.h"

#include "support/ptypair.h"

#include <QTest>

using namespace qv7;
using qv7::test::PtyPair;

class TstLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void settingsAccepted_data();
    void settingsAccepted();
    void settingsRejected_data();
    void settingsRejected();
    void defaultDevices();
    void openFailureDescriptions_data();
    void openFailureDescriptions();
    void permissionDenied_data();
    void permissionDenied();
    void outputIsOneWholeWrite();
    void failures_data();
    void failures();
};

void TstLink::settingsAccepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("stopBits");
    QTest::newRow("fast") << "19200,N,8,1" << 19200 << int(Parity::None) << 8 << int(StopBits::One);
    QTest::newRow("slow") << "9600,N,8,1" << 9600 << int(Parity::None) << 8 << int(StopBits::One);
    QTest::newRow("even, 7, 2") << "4800,E,7,2" << 4800 << int(Parity::Even) << 7
                                << int(StopBits::Two);
    QTest::newRow("lower-case odd, 1.5")
        << "2400,o,5,1.5" << 2400 << int(Parity::Odd) << 5 << int(StopBits::OneAndHalf);
}

void TstLink::settingsAccepted()
{
    QFETCH(QString, text);
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, dataBits);
    QFETCH(int, stopBits);
    const auto parsed = parseLineSettings(text.toStdString());
    QVERIFY(parsed);
    QCOMPARE(parsed->baudRate, baud);
    QCOMPARE(int(parsed->parity), parity);
    QCOMPARE(parsed->dataBits, dataBits);
    QCOMPARE(int(parsed->stopBits), stopBits);
}

void TstLink::settingsRejected_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("three fields") << "19200,N,8";
    QTest::newRow("five fields") << "19200,N,8,1,1";
    QTest::newRow("baud not a number") << "fast,N,8,1";
    QTest::newRow("baud zero") << "0,N,8,1";
    QTest::newRow("baud with blank") << "19200 ,N,8,1";
    QTest::newRow("unknown parity") << "19200,X,8,1";
    QTest::newRow("nine data bits") << "19200,N,9,1";
    QTest::newRow("three stop bits") << "19200,N,8,3";
}

void TstLink::settingsRejected()
{
    QFETCH(QString, text);
    QVERIFY(!parseLineSettings(text.toStdString()));
}

void TstLink::defaultDevices()
{
#ifdef _WIN32
    QCOMPARE(defaultPortDevice(1), std::string("COM1"));
    QCOMPARE(defaultPortDevice(2), std::string("COM2"));
#else
    QCOMPARE(defaultPortDevice(1), std::string("/dev/ttyS0"));
    QCOMPARE(defaultPortDevice(2), std::string("/dev/ttyS1"));
#endif
}

void TstLink::openFailureDescriptions_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("systemText");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("expected");
    QTest::newRow("missing") << int(QSerialPort::DeviceNotFoundError) << "No such file"
                             << int(FailureKind::NoSuchDevice) << "no such device";
    QTest::newRow("lock file held")
        << int(QSerialPort::PermissionError) << "Permission error while locking the device"
        << int(FailureKind::InUse) << "in use by another program";
    QTest::newRow("device busy") << int(QSerialPort::PermissionError) << "Device or resource busy"
                                 << int(FailureKind::InUse) << "in use by another program";
    QTest::newRow("no permission") << int(QSerialPort::PermissionError) << "Permission denied"
                                   << int(FailureKind::PermissionDenied) << "permission denied; ";
    QTest::newRow("other") << int(QSerialPort::UnknownError) << "Inappropriate ioctl"
                           << int(FailureKind::OpenFailed) << "cannot be opened (Inappropriate";
}

void TstLink::openFailureDescriptions()
{
    QFETCH(int, error);
    QFETCH(QString, systemText);
    QFETCH(int, kind);
    QFETCH(QString, expected);
    const Failure failure = openFailure(static_cast<QSerialPort::SerialPortError>(error),
                                        systemText, QStringLiteral("/dev/qv7-no-such"));
    QCOMPARE(int(failure.kind), kind);
    QVERIFY2(failure.description.startsWith(expected), qPrintable(failure.description));
}

void TstLink::permissionDenied_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<bool>("member");
    QTest::addColumn<bool>("inThisLogin");
    QTest::addColumn<QString>("expected");
    QTest::newRow("not in the group")
        << "dialout" << false << false
        << "permission denied; the device belongs to group dialout and user ada is not in it: "
           "run 'sudo usermod -aG dialout ada', then log out and in again";
    QTest::newRow("joined after this login")
        << "dialout" << true << false
        << "permission denied; user ada joined group dialout after this login began: log out "
           "and in again";
    QTest::newRow("in the group, the mode keeps it out")
        << "dialout" << true << true
        << "permission denied; the device's own permissions keep you out (ls -l shows them)";
    QTest::newRow("group not known") << "" << false << false
                                     << "permission denied; the device's own permissions keep "
                                        "you out (ls -l shows them)";
    QTest::newRow("root's group: never advised")
        << "root" << false << false
        << "permission denied; the device is open to "
           "its owner only, and no group should be "
           "joined for it: give it a group with a udev rule";
}

void TstLink::permissionDenied()
{
    QFETCH(QString, group);
    QFETCH(bool, member);
    QFETCH(bool, inThisLogin);
    QFETCH(QString, expected);
    const QString advice =
        describePermissionDenied({group, QStringLiteral("ada"), member, inThisLogin});
    QVERIFY2(advice.startsWith(expected), qPrintable(advice));
    // crw------- leaves the group out: joining it would not help.
    QVERIFY(!describePermissionDenied({group, QStringLiteral("ada"), false, false, false})
                 .contains(QLatin1String("usermod")));
}

void TstLink::outputIsOneWholeWrite()
{
    PtyPair line;
    SerialControl control;
    control.setDevice(1, line.slavePath());
    control.setPortOpen(true);
    control.setOutput("C00\r");
    // Written before control returns to the event loop: nothing else needs to run.
    char buffer[16];
    const ssize_t n = ::read(line.masterFd(), buffer, sizeof buffer);
    QCOMPARE(QByteArray(buffer, int(std::max<ssize_t>(n, 0))), QByteArray("C00\r"));
}

void TstLink::failures_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("expected");
    QTest::newRow("output on a closed port") << "output"
                                             << "COM1 (%1): the port is not open";
    QTest::newRow("input on a closed port") << "input"
                                            << "COM1 (%1): the port is not open";
    QTest::newRow("open twice") << "open twice"
                                << "COM1 (%1): already open";
    QTest::newRow("port number while open")
        << "renumber"
        << "COM1 (%1): the port number cannot change while the port is open";
    QTest::newRow("bad settings") << "settings"
                                  << "COM1 (%1): \"fast\" is not a line setting";
    QTest::newRow("missing device") << "missing"
                                    << "COM1 (%1): no such device";
}

void TstLink::failures()
{
    QFETCH(QString, operation);
    QFETCH(QString, expected);
    PtyPair line;
    SerialControl control;
    const QString device = operation == QLatin1String("missing")
                               ? QStringLiteral("/dev/qv7-no-such")
                               : line.slavePath();
    control.setDevice(1, device);
    if (operation == QLatin1String("open twice") || operation == QLatin1String("renumber"))
        control.setPortOpen(true);
    try {
        if (operation == QLatin1String("output"))
            control.setOutput("C00\r");
        else if (operation == QLatin1String("input"))
            control.Input();
        else if (operation == QLatin1String("open twice") || operation == QLatin1String("missing"))
            control.setPortOpen(true);
        else if (operation == QLatin1String("renumber"))
            control.setCommPort(2);
        else
            control.setSettings(QStringLiteral("fast"));
        QFAIL("no failure");
    } catch (const CommError &error) {
        QVERIFY2(error.description().startsWith(expected.arg(device)),
                 qPrintable(error.description()));
    }
}

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
