#pragma once

#include "bridge/lineowner.h"
#include "discovery.h"
#include "mqttclient.h"
#include "panelrequests.h"
#include "requests.h"

#include <QHash>
#include <QObject>
#include <QString>

namespace qv7::bridge {

struct BridgeSettings {
    QString topicPrefix = QStringLiteral("qv7");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    QString hostName;     // this daemon's among the venue's hosts
    bool verbose = false; // log every command and reply
    int connectTimeoutMs = TransportOptions{}.connectTimeoutMs; // for network ports
};

// One projector on the broker, through a connection of its own whose last will marks exactly
// this projector offline. Nothing is published until the daemon owns the projector's line
// (another program may hold it); from then on state goes out retained when it changes, and all
// again after each (re)connection. While the line is down the projector is offline and its
// power unknown. Commands from the broker go to the line's queue, and those the projector
// cannot take yet wait for it up to a minute; each outcome goes to the reply topic. A retained
// message on a command topic is an old one, handed over at each (re)connection: it is reported,
// never run, or a retained OFF would switch the projector off at every start.
class MqttFace : public QObject {
    Q_OBJECT

public:
    MqttFace(LineOwner &line, const BrokerSettings &broker, const BridgeSettings &settings,
             QObject *parent = nullptr);

    // A clean goodbye: offline published and the connection closed.
    void stop();

private:
    void start();
    void onConnected();
    void onMessage(const QString &topic, const QByteArray &payload, bool retained);
    void publishState(LineState::Field field);
    void publishDiscovery();
    void reply(const QJsonObject &object);

    LineOwner &line_;
    BridgeSettings settings_;
    Topics topics_;
    MqttClient mqtt_;
    PanelRequests panels_; // other hosts' pages
    bool started_ = false;
    QHash<QString, QByteArray> retainedCommands_; // by topic: those already reported
};

} // namespace qv7::bridge
