#include "venuelink.h"

#include "bridge/log.h"

namespace qv7::bridge {

namespace {

// What a list shows of each projector: one pattern per leaf, so that the traffic and the
// replies of the venue's projectors never reach a daemon that only lists them.
constexpr const char16_t *kListed[] = {u"owner", u"availability", u"link",
                                       u"power", u"input",        u"lamp_hours"};

BrokerSettings venueSettings(BrokerSettings broker)
{
    if (!broker.clientId.isEmpty())
        broker.clientId += QStringLiteral("-venue");
    return broker;
}

} // namespace

QString VenueLink::hostTopic(const QString &prefix, const QString &host)
{
    return prefix + QStringLiteral("/$hosts/") + host;
}

VenueLink::VenueLink(Venue &venue, const BrokerSettings &broker, const QString &topicPrefix,
                     QObject *parent)
    : QObject(parent)
    , venue_(venue)
    , prefix_(topicPrefix)
    , mqtt_(venueSettings(broker), this)
{
    connect(&mqtt_, &MqttClient::connected, this, &VenueLink::onConnected);
    connect(&mqtt_, &MqttClient::received, this,
            [this](const QString &topic, const QByteArray &payload, bool) {
                onMessage(topic, payload);
            });
    connect(&venue_, &Venue::watchedChanged, this, &VenueLink::listen);
}

void VenueLink::start()
{
    mqtt_.setWill(hostTopic(prefix_, venue_.hostName()), "offline");
    mqtt_.open();
}

void VenueLink::stop()
{
    mqtt_.publish(hostTopic(prefix_, venue_.hostName()), "offline", true);
    mqtt_.close();
}

void VenueLink::onConnected()
{
    mqtt_.publish(hostTopic(prefix_, venue_.hostName()), "online", true);
    if (venue_.isWatched()) {
        // The broker hands every retained message over again.
        venue_.forget();
        listen(true);
    }
}

void VenueLink::listen(bool on)
{
    QStringList patterns{hostTopic(prefix_, QStringLiteral("+"))};
    for (const char16_t *leaf : kListed)
        patterns << prefix_ + QStringLiteral("/+/") + QString::fromUtf16(leaf);
    for (const QString &pattern : patterns) {
        if (on)
            mqtt_.subscribe(pattern);
        else
            mqtt_.unsubscribe(pattern);
    }
}

void VenueLink::onMessage(const QString &topic, const QByteArray &payload)
{
    if (!venue_.isWatched() || !topic.startsWith(prefix_ + u'/'))
        return;
    const QStringList levels = topic.mid(prefix_.size() + 1).split(u'/');
    if (levels.size() != 2)
        return;
    if (levels[0] == u"$hosts")
        venue_.setHostOnline(levels[1], payload.trimmed() == "online");
    else
        venue_.take(levels[0], levels[1], payload);
}

} // namespace qv7::bridge
