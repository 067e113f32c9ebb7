#pragma once

#include "bridge/mqtt/mqttclient.h"
#include "sim/server.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

namespace qv7::test {

// A TCP port on 127.0.0.1 that is free now and was not given before in this process.
quint16 freePort();

// Debian's mosquitto as a process of the test's own, on a free 127.0.0.1 port, with no
// persistence: whatever is retained after a restart was published again. Extra lines go into
// its configuration (a password file, for one).
class Broker {
public:
    explicit Broker(const QStringList &configuration = {});
    ~Broker() { stop(); }

    void start();
    void stop();
    quint16 port() const { return port_; }
    QString url() const { return QStringLiteral("mqtt://127.0.0.1:%1").arg(port_); }

private:
    QTemporaryDir dir_;
    QProcess process_;
    quint16 port_ = 0;
};

// A client that subscribes to everything (or to the topics of pattern) and keeps the last
// payload of each topic, at QoS 1, whose queue mosquitto bounds at 1,000 messages.
class Watcher : public QObject {
    Q_OBJECT

public:
    explicit Watcher(const Broker &broker, const QString &username = {},
                     const QString &password = {}, const QString &pattern = QStringLiteral("#"));

    bool isConnected() const { return client_.isConnected(); }
    QByteArray last(const QString &topic) const { return last_.value(topic); }
    const QMap<QString, QByteArray> &all() const { return last_; }
    void forget() { last_.clear(); }
    void forget(const QString &topic) { last_.remove(topic); }
    void publish(const QString &topic, const QByteArray &payload, bool retained = false)
    {
        client_.publish(topic, payload, retained);
    }

signals:
    void message(const QString &topic);

private:
    bridge::MqttClient client_;
    QMap<QString, QByteArray> last_;
};

// A simulated projector on a pseudo-terminal reached through a link of its own, so that it
// can go away and come back at the same path; its traffic is kept, bare of blanks and CRs:
// "C00" for a command it took, "=00" for an answer.
struct Line {
    explicit Line(const QString &linkPath, const sim::ProjectorSettings &settings = {});
    void open();

    QString link;
    sim::SimulatorServer server;
    QStringList traffic;
};

// The bridge as a service manager runs it, stopped as one stops it.
class BridgeProcess : public QProcess {
public:
    ~BridgeProcess() override
    {
        terminate();
        waitForFinished();
    }
};

// qv7-bridge on an inventory of the text, written to a new file in the folder; inChild runs in
// the child process before the program does.
std::unique_ptr<BridgeProcess> startBridge(const QString &folder, const QString &inventory,
                                           const QStringList &arguments,
                                           const std::function<void()> &inChild = {});

} // namespace qv7::test
