// The floor for the panel's start-up: a Qt window with a serial port open on the device the
// command line names, and nothing else; with --text, a line of text in it as well, so that
// the floor finds and loads a font as every real window does.

#include <QApplication>
#include <QLabel>
#include <QSerialPort>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    QSerialPort port(arguments.size() > 1 ? arguments[1] : QString());
    port.setBaudRate(QSerialPort::Baud19200);
    port.open(QIODevice::ReadWrite);
    QLabel window(arguments.contains(QStringLiteral("--text")) ? QStringLiteral("COM1 open")
                                                               : QString());
    window.resize(400, 300);
    window.show();
    return QApplication::exec();
}
