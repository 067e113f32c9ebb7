// Opens a port as the panel does and prints what the operator would read: run under another
// user by the tests that need a failure root never meets.

#include "engine/serialcontrol.h"

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    const QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    qv7::SerialControl control;
    control.setDevice(1, QString::fromLocal8Bit(argv[1]));
    QTextStream out(stdout);
    try {
        control.setPortOpen(true);
        out << "opened" << Qt::endl;
    } catch (const qv7::CommError &error) {
        out << error.description() << Qt::endl;
    }
    return 0;
}
