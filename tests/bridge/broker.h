#pragma once

#include "bridge/mqttclient.h"

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace qv7::test {

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

// A client that subscribes to everything and keeps the last payload of each topic.
class Watcher : public QObject {
    Q_OBJECT

public:
    explicit Watcher(const Broker &broker, const QString &username = {},
                     const QString &password = {});

    bool isConnected() const { return client_.isConnected(); }
    QByteArray last(const QString &topic) const { return last_.value(topic); }
    void forget() { last_.clear(); }
    void forget(const QString &topic) { last_.remove(topic); }
    void publish(const QString &topic, const QByteArray &payload, bool retained = false)
    {
        client_.publish(topic, payload, retained);
    }

private:
    bridge::MqttClient client_;
    QMap<QString, QByteArray> last_;
};

} // namespace qv7::test
