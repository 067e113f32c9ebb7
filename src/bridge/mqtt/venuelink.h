#pragma once

#include "bridge/venue.h"
#include "mqttclient.h"

#include <QObject>

namespace qv7::bridge {

// The daemon on the venue's broker: a connection of its own whose last will marks this host
// offline at PREFIX/$hosts/HOST, and, while a list of projectors is open, the retained
// messages that every daemon publishes of its projectors (owner, availability, link, power,
// input and lamp hours), handed to the venue. With no list open it subscribes to nothing, so
// that a venue of many projectors costs a daemon only its own.
class VenueLink : public QObject {
    Q_OBJECT

public:
    VenueLink(Venue &venue, const BrokerSettings &broker, const QString &topicPrefix,
              QObject *parent = nullptr);

    void start();
    // A clean goodbye: this host published offline and the connection closed.
    void stop();

    // The retained presence of a host.
    static QString hostTopic(const QString &prefix, const QString &host);

private:
    void onConnected();
    void onMessage(const QString &topic, const QByteArray &payload);
    void listen(bool on);

    Venue &venue_;
    QString prefix_;
    MqttClient mqtt_;
};

} // namespace qv7::bridge
