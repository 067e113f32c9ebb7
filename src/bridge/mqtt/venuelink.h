#pragma once

#include "bridge/remotepanelline.h"
#include "bridge/venue.h"
#include "mqttclient.h"

#include <QObject>
#include <QTimer>

namespace qv7::bridge {

// The daemon on the venue's broker: a connection of its own whose last will marks this host
// offline at PREFIX/$hosts/HOST; while a list of projectors is open, the retained messages
// that every daemon publishes of its projectors (owner, availability, link, power, input and
// lamp hours), handed to the venue; and for each of another host's projectors that a page
// has open, its topics, its traffic (asked for on its watch topic within the owner's lease)
// and its pages' commands. With no page open it subscribes to nothing, so that a venue of
// many projectors costs a daemon only its own and what its pages show.
class VenueLink : public QObject {
    Q_OBJECT

public:
    // owners: who owns each projector of the venue is followed, for web pages.
    VenueLink(Venue &venue, const BrokerSettings &broker, const QString &topicPrefix, bool owners,
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
    void follow(RemotePanelLine *line, bool on);
    void hosts(bool on);
    void watch();

    Venue &venue_;
    QString prefix_;
    MqttClient mqtt_;
    bool owners_;
    QTimer lease_; // the watch topics of the projectors whose pages are open, asked again
    bool hosts_ = false;
};

} // namespace qv7::bridge
