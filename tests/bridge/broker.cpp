#include "broker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

namespace qv7::test {

quint16 freePort()
{
    // The kernel may hand a port that was just let go out again: never give one twice, or
    // two listeners of one test (or a fleet's PJLink ports) would collide.
    static QSet<quint16> given;
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            break;
        if (!given.contains(probe.serverPort())) {
            given.insert(probe.serverPort());
            return probe.serverPort();
        }
    }
    qFatal("no free port on 127.0.0.1");
}

Broker::Broker(const QStringList &configuration)
    : port_(freePort())
{
    QFile file(dir_.filePath(QStringLiteral("mosquitto.conf")));
    QStringList lines{QStringLiteral("listener %1 127.0.0.1").arg(port_),
                      QStringLiteral("persistence false")};
    lines += configuration.isEmpty() ? QStringList{QStringLiteral("allow_anonymous true")}
                                     : configuration;
    const QByteArray text = lines.join(u'\n').toUtf8() + '\n';
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.flush())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.close();
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("mosquitto.log")),
                                   QIODevice::Append);
    start();
}

void Broker::start()
{
    process_.start(QStringLiteral("mosquitto"),
                   {QStringLiteral("-c"), dir_.filePath(QStringLiteral("mosquitto.conf"))});
    if (!process_.waitForStarted())
        qFatal("mosquitto does not start (scripts/deps.sh installs it)");
    // Listening once a connection is taken.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port_);
        if (socket.waitForConnected(200))
            return;
        QTest::qWait(50);
    }
    qFatal("mosquitto does not listen on port %d", port_);
}

void Broker::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    process_.waitForFinished();
}

Watcher::Watcher(const Broker &broker, const QString &username, const QString &password,
                 const QString &pattern)
    : client_([&] {
        bridge::BrokerSettings settings;
        settings.host = QStringLiteral("127.0.0.1");
        settings.port = broker.port();
        settings.username = username;
        settings.password = password;
        return settings;
    }())
{
    connect(&client_, &bridge::MqttClient::connected, this,
            [this, pattern] { client_.subscribe(pattern); });
    connect(&client_, &bridge::MqttClient::received, this,
            [this](const QString &topic, const QByteArray &payload) {
                last_[topic] = payload;
                emit message(topic);
            });
    client_.open();
}

Line::Line(const QString &linkPath, const sim::ProjectorSettings &settings)
    : link(linkPath)
    , server(settings)
{
    QObject::connect(&server, &sim::SimulatorServer::trafficLogged, &server, [this](QString text) {
        const QString way = text.section(u' ', 1, 1);
        const QString bytes = text.section(u' ', 2).remove(QStringLiteral(" CR")).remove(u' ');
        if (way == u"in" || way == u"out")
            traffic.append((way == u"in" ? QString() : QStringLiteral("=")) + bytes);
    });
    open();
}

void Line::open()
{
    if (!server.openPseudoTerminal(link))
        qFatal("no simulator: %s", qPrintable(server.errorString()));
}

std::unique_ptr<BridgeProcess> startBridge(const QString &folder, const QString &inventory,
                                           const QStringList &arguments,
                                           const std::function<void()> &inChild)
{
    static int files = 0;
    QFile file(QStringLiteral("%1/inventory-%2.ini").arg(folder).arg(++files));
    if (!file.open(QIODevice::WriteOnly) || file.write(inventory.toUtf8()) <= 0)
        qFatal("cannot write %s", qPrintable(file.fileName()));
    file.close();
    auto process = std::make_unique<BridgeProcess>();
    if (inChild)
        process->setChildProcessModifier(inChild);
    process->start(QStringLiteral(QV7BRIDGE),
                   QStringList{QStringLiteral("--inventory"), file.fileName()} + arguments);
    return process;
}

} // namespace qv7::test
