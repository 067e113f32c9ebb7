#pragma once

#include "discovery.h"
#include "engine/inventory.h"
#include "engine/projector.h"
#include "log.h"
#include "mqttclient.h"
#include "requests.h"

#include <QDeadlineTimer>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <deque>
#include <optional>
#include <vector>

namespace qv7::bridge {

struct BridgeSettings {
    QString topicPrefix = QStringLiteral("qv7");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool verbose = false;                                       // log every command and reply
    int connectTimeoutMs = TransportOptions{}.connectTimeoutMs; // for network ports
};

// One projector on the broker: its port, kept open and polled, and a connection of its own
// whose last will marks exactly this projector offline. A port that fails or cannot be opened
// is tried again after 5 s, doubling up to a minute, until it opens. A port that another
// program holds from the start is not this bridge's to report on: nothing is published for it
// until the bridge owns it. While the port is down the projector is offline, its power
// unknown, and commands fail at once. State goes out retained when
// it changes and all again after each (re)connection; commands from the broker queue for the line,
// one in flight, and those the projector cannot take yet wait for it up to a minute.
class ProjectorBridge : public QObject {
    Q_OBJECT

public:
    ProjectorBridge(const InventoryEntry &projector, const BrokerSettings &broker,
                    const BridgeSettings &settings, QObject *parent = nullptr);

    void start();
    // A clean goodbye: offline published, the connection and the port closed.
    void stop();

private:
    struct Pending {
        Command command;
        bool fromBroker = false;   // its outcome goes to the reply topic
        QDeadlineTimer deadline{}; // commands from the broker wait this long at most
    };

    void onConnected();
    void onMessage(const QString &topic, const QByteArray &payload);
    void open();
    void startBroker();
    void onOpened();
    void onLost(const Failure &failure);
    void onDone(const Result &result);
    void take(const Reading &reading);
    void poll(const Command &query);
    void enqueue(const std::vector<Command> &commands);
    void dispatch();
    void dropExpired();
    void failQueued();
    // Drops a command from the broker unsent, saying why on the reply topic.
    void refuse(const Pending &pending, const QString &error);
    void armExpiry();
    void setPower(const QString &word);
    void setLink(const QString &word);
    void setState(const QString &leaf, const QByteArray &value);
    void reply(const QJsonObject &object);
    void publishDiscovery();
    void log(Priority priority, const QString &text) const;

    InventoryEntry projector_;
    BridgeSettings settings_;
    Topics topics_;
    MqttClient mqtt_;
    Projector line_;
    QTimer reopen_;
    std::chrono::seconds backOff_;
    QMap<QString, QByteArray> state_; // leaf to retained value
    QString power_;
    bool brokerStarted_ = false;
    QString lineDown_; // why the line is down; empty while it is open
    std::deque<Pending> queue_;
    std::optional<Pending> inFlight_;
    QTimer powerPoll_;
    QTimer lampPoll_;
    QTimer expiry_;
};

} // namespace qv7::bridge
