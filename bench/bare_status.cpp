// The floor under "qv7ctl status": a bare Qt program that opens the serial device with
// QSerialPort at 19200 8N1, writes CR0 CR and reads to the carriage return. It does nothing
// else (no lock, no search for other holders, no decoding), so what qv7ctl takes beyond it is
// the program's own. Usage: bare_status DEVICE; exits 0 when the answer came.

#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: bare_status DEVICE\n", stderr);
        return 64;
    }
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    port.setBaudRate(QSerialPort::Baud19200);
    if (!port.open(QIODevice::ReadWrite)) {
        std::fprintf(stderr, "bare_status: %s: %s\n", argv[1], qPrintable(port.errorString()));
        return 69;
    }
    port.write("CR0\r");
    QByteArray answer;
    while (!answer.contains('\r') && port.waitForReadyRead(2000))
        answer += port.readAll();
    if (!answer.contains('\r')) {
        std::fprintf(stderr, "bare_status: %s: no answer within 2 s\n", argv[1]);
        return 69;
    }
    std::fwrite(answer.constData(), 1, std::size_t(answer.indexOf('\r')), stdout);
    std::fputc('\n', stdout);
    return 0;
}
