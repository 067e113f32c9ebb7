// The serial control and how it reports failures, over real pseudo-terminals; tst_telnet
// reads the line settings.

#include "engine/openadvice.h"
#include "engine/serialcontrol.h"
#include "protocol/portnames.h"

#include "support/ptypair.h"

#include <QTest>

using namespace qv7;
using qv7::test::PtyPair;
using Operation = std::function<void(SerialControl &)>;
Q_DECLARE_METATYPE(Operation)

class TstLink : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaultDevices();
    void windowsDevicePaths_data();
    void windowsDevicePaths();
    void openFailureDescriptions_data();
    void openFailureDescriptions();
    void permissionDenied_data();
    void permissionDenied();
    void outputIsOneWholeWrite();
    void failures_data();
    void failures();
};

void TstLink::defaultDevices()
{
#ifdef _WIN32
    QCOMPARE(defaultPortDevice(2), std::string("COM2"));
#else
    QCOMPARE(defaultPortDevice(2), std::string("/dev/ttyS1"));
#endif
}

void TstLink::windowsDevicePaths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::newRow("COM1") << "COM1"
                          << R"(\\.\COM1)";
    QTest::newRow("two digits, small letters") << "com12"
                                               << R"(\\.\com12)";
    QTest::newRow("already a device path") << R"(\\.\COM3)"
                                           << R"(\\.\COM3)";
    QTest::newRow("no number") << "COM"
                               << "COM";
    QTest::newRow("not a number") << "COM1A"
                                  << "COM1A";
    QTest::newRow("another driver's name") << "CNCA0"
                                           << "CNCA0";
}

void TstLink::windowsDevicePaths()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(QString::fromStdString(windowsDevicePath(name.toStdString())), path);
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
                                        systemText, "/dev/qv7-no-such");
    QCOMPARE(int(failure.kind), kind);
    QVERIFY2(failure.description.startsWith(expected), qPrintable(failure.description));
}

void TstLink::permissionDenied_data()
{
    QTest::addColumn<QString>("group");
    QTest::addColumn<bool>("member");
    QTest::addColumn<bool>("inThisLogin");
    QTest::addColumn<QString>("expected"); // after "permission denied; "
    const QString modeKeepsOut = "the device's own permissions keep you out (ls -l shows them)";
    // tst_faults checks the advice to join the group on a real device.
    QTest::newRow("joined after this login")
        << "dialout" << true << false
        << "user ada joined group dialout after this login began: log out and in again";
    QTest::newRow("in the group") << "dialout" << true << true << modeKeepsOut;
    QTest::newRow("group not known") << "" << false << false << modeKeepsOut;
    QTest::newRow("root's group: never advised")
        << "root" << false << false
        << "the device is open to its owner only, and no group should be joined for it: give it "
           "a group with a udev rule";
}

void TstLink::permissionDenied()
{
    QFETCH(QString, group);
    QFETCH(bool, member);
    QFETCH(bool, inThisLogin);
    QFETCH(QString, expected);
    const QString advice = describePermissionDenied({group, "ada", member, inThisLogin});
    QVERIFY2(advice.startsWith("permission denied; " + expected), qPrintable(advice));
    // crw------- leaves the group out: joining it would not help.
    QVERIFY(!describePermissionDenied({group, "ada", false, false, false}).contains("usermod"));
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
    QTest::addColumn<Operation>("operation");
    QTest::addColumn<QString>("expected"); // after "COM1 (device): "
    QTest::newRow("input") << Operation([](SerialControl &c) { c.Input(); })
                           << "the port is not open";
    QTest::newRow("open twice") << Operation([](SerialControl &c) {
        c.setPortOpen(true);
        c.setPortOpen(true);
    }) << "already open";
    QTest::newRow("renumber") << Operation([](SerialControl &c) {
        c.setPortOpen(true);
        c.setCommPort(2);
    }) << "the port number cannot change while the port is open";
    QTest::newRow("bad settings") << Operation([](SerialControl &c) { c.setSettings("fast"); })
                                  << "\"fast\" is not a line setting";
    QTest::newRow("missing device") << Operation([](SerialControl &c) {
        c.setDevice(1, "/dev/qv7-no-such");
        c.setPortOpen(true);
    }) << "no such device";
}

void TstLink::failures()
{
    QFETCH(Operation, operation);
    QFETCH(QString, expected);
    PtyPair line;
    SerialControl control;
    control.setDevice(1, line.slavePath());
    try {
        operation(control);
        QFAIL("no failure");
    } catch (const CommError &error) {
        const QString device = control.device(1);
        QVERIFY2(error.description().startsWith(QString("COM1 (%1): ").arg(device) + expected),
                 qPrintable(error.description()));
    }
}

QTEST_GUILESS_MAIN(TstLink)
#include "tst_link.moc"
