#include "venuelink.h"

#include "bridge/log.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace qv7::bridge {

namespace {

// What a list shows of each projector: one pattern per leaf, so that the traffic and the
// replies of the venue's projectors never reach a daemon that only lists them.
constexpr const char16_t *kListed[] = {u"availability", u"link", u"power", u"input", u"lamp_hours"};
// And what a page of another host's projector adds.
constexpr const char16_t *kFollowed[] = {u"owner", u"traffic", u"panel/reply"};

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
                     bool owners, QObject *parent)
    : QObject(parent)
    , venue_(venue)
    , prefix_(topicPrefix)
    , mqtt_(venueSettings(broker), this)
    , owners_(owners)
{
    connect(&mqtt_, &MqttClient::connected, this, &VenueLink::onConnected);
    connect(&mqtt_, &MqttClient::received, this,
            [this](const QString &topic, const QByteArray &payload, bool) {
                onMessage(topic, payload);
            });
    connect(&venue_, &Venue::watchedChanged, this, &VenueLink::listen);
    connect(&venue_, &Venue::remoteOpened, this, [this](RemotePanelLine *line) {
        follow(line, true);
        connect(line, &RemotePanelLine::command, this, [this, line](const QJsonObject &message) {
            mqtt_.publish(prefix_ + u'/' + line->name() + QStringLiteral("/panel"),
                          QJsonDocument(message).toJson(QJsonDocument::Compact), false);
        });
    });
    connect(&venue_, &Venue::remoteClosing, this,
            [this](RemotePanelLine *line) { follow(line, false); });
    // Well inside the owner's lease of 30 s.
    lease_.setInterval(10000);
    connect(&lease_, &QTimer::timeout, this, &VenueLink::watch);
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
    // A new connection has no subscriptions, and the broker hands every retained message
    // over again.
    hosts_ = false;
    venue_.forgetAll();
    if (owners_)
        mqtt_.subscribe(prefix_ + QStringLiteral("/+/owner"));
    if (venue_.isWatched())
        listen(true);
    for (RemotePanelLine *line : venue_.remotes())
        follow(line, true);
}

void VenueLink::hosts(bool on)
{
    if (on == hosts_)
        return;
    hosts_ = on;
    if (on) {
        mqtt_.subscribe(hostTopic(prefix_, QStringLiteral("+")));
    } else {
        mqtt_.unsubscribe(hostTopic(prefix_, QStringLiteral("+")));
        venue_.forgetHosts();
    }
}

void VenueLink::follow(RemotePanelLine *line, bool on)
{
    const QString base = prefix_ + u'/' + line->name() + u'/';
    const auto each = [&](const auto &leaves) {
        for (const char16_t *leaf : leaves) {
            if (on)
                mqtt_.subscribe(base + QString::fromUtf16(leaf));
            else
                mqtt_.unsubscribe(base + QString::fromUtf16(leaf));
        }
    };
    each(kListed);
    each(kFollowed);
    hosts(venue_.needsHosts());
    if (on) {
        watch();
        lease_.start();
    } else if (venue_.remotes().isEmpty()) {
        lease_.stop();
    }
}

void VenueLink::watch()
{
    const QByteArray by = QJsonDocument(QJsonObject{{QStringLiteral("by"), venue_.hostName()}})
                              .toJson(QJsonDocument::Compact);
    for (RemotePanelLine *line : venue_.remotes())
        mqtt_.publish(prefix_ + u'/' + line->name() + QStringLiteral("/watch"), by, false);
}

void VenueLink::listen(bool on)
{
    for (const char16_t *leaf : kListed) {
        const QString pattern = prefix_ + QStringLiteral("/+/") + QString::fromUtf16(leaf);
        if (on)
            mqtt_.subscribe(pattern);
        else
            mqtt_.unsubscribe(pattern);
    }
    hosts(venue_.needsHosts());
}

void VenueLink::onMessage(const QString &topic, const QByteArray &payload)
{
    if (!topic.startsWith(prefix_ + u'/'))
        return;
    const QString rest = topic.mid(prefix_.size() + 1);
    const qsizetype slash = rest.indexOf(u'/');
    if (slash < 0)
        return;
    const QString name = rest.first(slash);
    const QString leaf = rest.sliced(slash + 1);
    if (name == u"$hosts") {
        venue_.setHostOnline(leaf, payload.trimmed() == "online");
        return;
    }
    if (venue_.isWatched() || leaf == u"owner")
        venue_.take(name, leaf, payload);
    if (RemotePanelLine *line = venue_.remote(name))
        line->take(leaf, payload);
}

} // namespace qv7::bridge
