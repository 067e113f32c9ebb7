// Opens a port as the panel does and prints the kind of failure (which the programs act on) and
// what the operator would read: run under another user by the tests that need a failure root
// never meets.

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
        const std::string_view kind = qv7::failureWord(error.kind());
        out << QLatin1StringView(kind.data(), qsizetype(kind.size())) << ": " << error.description()
            << Qt::endl;
    }
    return 0;
}
