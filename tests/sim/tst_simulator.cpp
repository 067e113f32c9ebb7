// The simulator server over real pseudo-terminals: the test opens the server's slave as the
// panel does and sees exactly the bytes of the line.

#include "sim/server.h"

#include "ptypair.h"

#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <termios.h>
#include <unistd.h>

using namespace qv7::sim;

namespace {

const QByteArray kAck = "\x06\r";

// The panel's end of the line: the slave opened raw at 9600 or 19200 baud; a failed open
// shows as a failed write.
class Panel {
public:
    Panel(const QString &path, int baudRate)
        : fd_(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        setSpeed(baudRate);
    }
    ~Panel() { ::close(fd_); }
    Q_DISABLE_COPY(Panel)

    void setSpeed(int baudRate)
    {
        termios attributes{};
        tcgetattr(fd_, &attributes);
        cfmakeraw(&attributes);
        cfsetspeed(&attributes, baudRate == 9600 ? B9600 : B19200);
        tcsetattr(fd_, TCSANOW, &attributes);
    }
    void write(const QByteArray &bytes)
    {
        QCOMPARE(::write(fd_, bytes.data(), bytes.size()), bytes.size());
    }
    // Everything until the line has been quiet for quietMs, after the first byte or after the
    // whole wait for it.
    QByteArray read(int firstByteMs = 5000, int quietMs = 300)
    {
        return qv7::test::readFrom(fd_, std::numeric_limits<qsizetype>::max(), firstByteMs,
                                   quietMs);
    }

private:
    int fd_;
};

} // namespace

Q_DECLARE_METATYPE(SimulatorServer::Faults)

class TstSimulator : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void answers_data();
    void answers();
    void lineSpeed_data();
    void lineSpeed();
    void panelClosesAndReopens();
    void servesADevice();
    void standardRfc2217Client_data();
    void standardRfc2217Client();
    void takeover_data();
    void takeover();
};

void TstSimulator::answers_data()
{
    using Faults = SimulatorServer::Faults;
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<Faults>("faults");
    QTest::addColumn<QByteArray>("answer"); // after the noise, if any
    const QByteArrayList queries{"CR0\rCR3\r"};
    QTest::newRow("split") << QByteArrayList{"C", "R", "4\r"} << Faults{} << QByteArray("11\r");
    QTest::newRow("joined") << QByteArrayList{"C00\rCR0\rCR3\r"} << Faults{} << kAck + "40\r0000\r";
    QTest::newRow("after rubbish")
        << QByteArrayList{QByteArray(5000, '\xff'), "\rCR1\r"} << Faults{} << QByteArray("1\r");
    QTest::newRow("delayed") << queries << Faults{.delayMs = 400} << QByteArray("80\r0000\r");
    QTest::newRow("in pieces") << queries << Faults{.pieceGapMs = 60} << QByteArray("80\r0000\r");
    QTest::newRow("noise") << queries << Faults{.noise = true} << QByteArray("80\r0000\r");
}

void TstSimulator::answers()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(SimulatorServer::Faults, faults);
    QFETCH(QByteArray, answer);
    SimulatorServer server;
    server.setFaults(faults);
    QVERIFY2(server.openPseudoTerminal(), qPrintable(server.errorString()));
    Panel panel(server.portName(), 19200);
    for (const QByteArray &piece : pieces) {
        panel.write(piece);
        QTest::qWait(30);
    }
    QByteArray received = panel.read(5000, 500);
    if (faults.noise) {
        // A burst of at least two rubbish bytes before each of the two answers.
        const QByteArray clean = QByteArray(received).removeIf([](char c) { return c & 0x80; });
        QVERIFY2(received.size() >= clean.size() + 4 && !received.startsWith('8'),
                 received.toHex(' '));
        received = clean;
    }
    QCOMPARE(received, answer);
}

void TstSimulator::lineSpeed_data()
{
    QTest::addColumn<int>("projector");
    QTest::addColumn<int>("panel");
    QTest::newRow("panel at 9600") << 19200 << 9600;
    QTest::newRow("panel at 19200") << 9600 << 19200;
}

void TstSimulator::lineSpeed()
{
    QFETCH(int, projector);
    QFETCH(int, panel);
    SimulatorServer server;
    QVERIFY(server.setBaudRate(projector));
    QVERIFY(server.openPseudoTerminal());
    Panel line(server.portName(), panel);
    line.write("C00\rCR0\r");
    // Rubbish for each command, and the garbled power on did not reach the projector.
    const QByteArray answer = line.read();
    QVERIFY2(answer.size() >= 4 && std::ranges::all_of(answer, [](char c) { return c & 0x80; }),
             answer.toHex(' '));
    line.setSpeed(projector);
    line.write("CR0\r");
    QCOMPARE(line.read(), QByteArray("80\r"));
}

void TstSimulator::panelClosesAndReopens()
{
    // Through a link to the line, which replaces no file and goes away with the line.
    QTemporaryDir dir;
    const QString link = dir.filePath("projector"), file = dir.filePath("file");
    QFile(file).open(QIODevice::WriteOnly);
    SimulatorServer server;
    QVERIFY(!server.openPseudoTerminal(file));
    QVERIFY(QFileInfo(file).isFile());
    QVERIFY2(server.openPseudoTerminal(link), qPrintable(server.errorString()));
    for (int round = 0; round < 3; ++round) {
        {
            Panel panel(link, 19200);
            panel.write("CR0\r");
            QCOMPARE(panel.read(), QByteArray("80\r"));
            // A line cut off by the close must not run into the next session's first command.
            panel.write("CR1");
        }
        // With no panel the master reports a hang-up for good; the server must outlive it.
        QTest::qWait(300);
    }
    server.close();
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TstSimulator::servesADevice()
{
    // Here the test is the panel, on the master; the server takes the slave as its device.
    qv7::test::PtyPair pty;
    SimulatorServer server;
    QVERIFY2(server.openDevice(pty.slavePath()), qPrintable(server.errorString()));
    QCOMPARE(pty.speed(), speed_t(B19200));
    pty.write("C00\rCR0\r");
    QCOMPARE(pty.read(5), kAck + "40\r");
    QVERIFY(server.setBaudRate(9600));
    QCOMPARE(pty.speed(), speed_t(B9600));
    pty.write("CR1\r");
    QCOMPARE(pty.read(2), QByteArray("1\r"));
}

void TstSimulator::standardRfc2217Client_data()
{
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<bool>("clean");
    QTest::newRow("19200: the projector's speed") << 19200 << true;
    QTest::newRow("9600: rubbish or nothing") << 9600 << false;
}

void TstSimulator::standardRfc2217Client()
{
    // pyserial's client waits for an answer to every setting it sends on open, SET-CONTROL
    // included, and sets the far line to its own speed.
    QFETCH(int, baudRate);
    QFETCH(bool, clean);
    SimulatorServer server;
    QVERIFY2(server.listen("rfc2217://127.0.0.1:0"), qPrintable(server.errorString()));
    QProcess client;
    client.start(
        "/usr/bin/python3",
        {"-c",
         "import serial, sys\n"
         "port = serial.serial_for_url(sys.argv[1], baudrate=int(sys.argv[2]), timeout=1)\n"
         "port.write(b'CR0\\r')\n"
         "sys.stdout.write(port.read_until(b'\\r').hex())\n",
         server.portName(), QString::number(baudRate)});
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 15000);
    QVERIFY2(client.exitCode() == 0, client.readAllStandardError().constData());
    const QByteArray answer = QByteArray::fromHex(client.readAllStandardOutput());
    QCOMPARE(answer == "80\r", clean);
}

void TstSimulator::takeover_data()
{
    QTest::addColumn<bool>("firstTalks");
    QTest::newRow("silent client gives way") << false;
    QTest::newRow("talking client keeps the port") << true;
}

void TstSimulator::takeover()
{
    // A client silent past the takeover time (a pulled cable, say) gives way to a newcomer;
    // silence counts from its last bytes, so one that just talked turns the newcomer away.
    QFETCH(bool, firstTalks);
    SimulatorServer server;
    server.setTakeoverAfter(std::chrono::seconds(1));
    QVERIFY2(server.listen("tcp://127.0.0.1:0"), qPrintable(server.errorString()));
    const auto port = quint16(QUrl(server.portName()).port());
    QTcpSocket first, second;
    QTcpSocket &kept = firstTalks ? first : second, &closed = firstTalks ? second : first;
    first.connectToHost(QHostAddress::LocalHost, port);
    QTest::qWait(1500); // past the takeover time since the connection
    if (firstTalks) {
        first.write("CR1\r");
        QTRY_VERIFY_WITH_TIMEOUT(first.bytesAvailable() > 0, 5000);
    }
    second.connectToHost(QHostAddress::LocalHost, port);
    QTRY_COMPARE_WITH_TIMEOUT(closed.state(), QAbstractSocket::UnconnectedState, 10000);
    kept.write("CR0\r");
    QByteArray answers; // after the first's "1\r", if it talked
    QTRY_VERIFY_WITH_TIMEOUT((answers += kept.readAll()).endsWith("80\r"), 5000);
}

QTEST_GUILESS_MAIN(TstSimulator)
#include "tst_simulator.moc"
