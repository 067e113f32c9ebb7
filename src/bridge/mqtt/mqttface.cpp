#include "mqttface.h"

#include "bridge/log.h"
#include "protocol/decoding.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace qv7::bridge {

namespace {

// How long a command from the broker waits for a projector that cannot take it yet.
constexpr std::chrono::seconds kLongestWait{60};

QString fromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

// Each projector has a connection, and so a client id, of its own: the given one and its name.
BrokerSettings clientSettings(BrokerSettings broker, const QString &projector)
{
    if (!broker.clientId.isEmpty())
        broker.clientId += u'-' + projector;
    return broker;
}

// The retained state topics: one leaf per field, its payload in the broker's words.
struct StateTopic {
    LineState::Field field;
    const char16_t *leaf;
    QByteArray (*payload)(const LineState &state);
};

QByteArray bytes(std::string_view text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

QByteArray onOff(bool on)
{
    return on ? "on" : "off";
}

const StateTopic kStateTopics[] = {
    {LineState::Field::Link, u"link", [](const LineState &s) { return bytes(word(s.link)); }},
    {LineState::Field::Power, u"power",
     [](const LineState &s) { return s.power ? bytes(word(*s.power)) : QByteArray(); }},
    {LineState::Field::Input, u"input",
     [](const LineState &s) { return s.input ? bytes(word(*s.input)) : QByteArray(); }},
    {LineState::Field::LampHours, u"lamp_hours",
     [](const LineState &s) {
         return s.lampHours ? QByteArray::number(*s.lampHours) : QByteArray();
     }},
    {LineState::Field::Orientation, u"orientation",
     [](const LineState &s) { return s.orientation ? bytes(word(*s.orientation)) : QByteArray(); }},
    {LineState::Field::VideoMute, u"video_mute",
     [](const LineState &s) { return onOff(s.videoMute); }},
    {LineState::Field::AudioMute, u"audio_mute",
     [](const LineState &s) { return onOff(s.audioMute); }},
    {LineState::Field::Freeze, u"freeze", [](const LineState &s) { return onOff(s.freeze); }},
};

} // namespace

MqttFace::MqttFace(LineOwner &line, const BrokerSettings &broker, const BridgeSettings &settings,
                   QObject *parent)
    : QObject(parent)
    , line_(line)
    , settings_(settings)
    , topics_(settings.topicPrefix, line.entry().name)
    , mqtt_(clientSettings(broker, line.entry().name), this)
    , panels_(line, mqtt_, topics_, Clock::steady(), this)
{
    connect(&mqtt_, &MqttClient::connected, this, &MqttFace::onConnected);
    connect(&mqtt_, &MqttClient::disconnected, this, [this](const QString &reason) {
        line_.log(Priority::Warning,
                  QStringLiteral("broker %1: %2").arg(mqtt_.brokerLabel(), reason));
    });
    connect(&mqtt_, &MqttClient::received, this, &MqttFace::onMessage);
    connect(&line_, &LineOwner::claimed, this, &MqttFace::start);
    connect(&line_.line(), &Line::stateChanged, this, [this](LineState::Field field) {
        if (started_)
            publishState(field);
    });
    connect(&line_, &LineOwner::availabilityChanged, this, [this](bool online) {
        if (started_)
            mqtt_.publish(topics_(u"availability"), online ? "online" : "offline", true);
    });
    if (line_.isClaimed())
        start();
}

void MqttFace::start()
{
    if (std::exchange(started_, true))
        return;
    mqtt_.setWill(topics_(u"availability"), "offline");
    mqtt_.open();
}

void MqttFace::stop()
{
    if (!started_)
        return;
    mqtt_.publish(topics_(u"availability"), "offline", true);
    mqtt_.close();
}

void MqttFace::onConnected()
{
    line_.log(Priority::Info, QStringLiteral("connected to %1").arg(mqtt_.brokerLabel()));
    for (const char16_t *leaf : {u"power/set", u"input/set", u"command"})
        mqtt_.subscribe(topics_(leaf));
    panels_.subscribe();
    mqtt_.subscribe(settings_.discoveryPrefix + QStringLiteral("/status"));
    publishDiscovery();
    // Which host owns the projector, for the venue's lists on the other hosts.
    mqtt_.publish(topics_(u"owner"),
                  QJsonDocument(QJsonObject{{QStringLiteral("host"), settings_.hostName},
                                            {QStringLiteral("group"), line_.entry().group}})
                      .toJson(QJsonDocument::Compact),
                  true);
    for (const StateTopic &topic : kStateTopics) {
        if (line_.line().state().isKnown(topic.field))
            publishState(topic.field);
    }
    mqtt_.publish(topics_(u"availability"), line_.line().isUp() ? "online" : "offline", true);
}

void MqttFace::publishState(LineState::Field field)
{
    const StateTopic &topic = *std::ranges::find(kStateTopics, field, &StateTopic::field);
    mqtt_.publish(topics_(topic.leaf), topic.payload(line_.line().state()), true);
}

void MqttFace::publishDiscovery()
{
    for (const Message &message :
         discoveryMessages(line_.entry(), topics_, settings_.discoveryPrefix))
        mqtt_.publish(message.topic, message.payload, true);
}

void MqttFace::onMessage(const QString &topic, const QByteArray &payload, bool retained)
{
    if (topic == settings_.discoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant has started again and forgotten what it was told.
        if (payload.trimmed() == "online")
            publishDiscovery();
        return;
    }
    if (retained) {
        // Once for each message, not again at each reconnection that hands it over.
        const auto seen = retainedCommands_.constFind(topic);
        if (seen == retainedCommands_.cend() || *seen != payload)
            line_.log(Priority::Warning,
                      QStringLiteral("%1: a retained message (%2 bytes) is an old one, not a "
                                     "command, and is not run; clear it with "
                                     "mosquitto_pub -r -n -t %1")
                          .arg(topic)
                          .arg(payload.size()));
        retainedCommands_.insert(topic, payload);
        return;
    }
    if (topic == topics_(u"panel") || topic == topics_(u"watch"))
        return panels_.take(topic, payload);
    CommandRequest request;
    try {
        if (topic == topics_(u"power/set"))
            request.commands = {powerRequest(payload)};
        else if (topic == topics_(u"input/set"))
            request.commands = {inputRequest(payload)};
        else if (topic == topics_(u"command"))
            request = commandRequests(payload);
    } catch (const PayloadError &error) {
        line_.log(Priority::Notice, QStringLiteral("%1: %2").arg(topic, error.description()));
        reply({{QStringLiteral("topic"), topic}, {QStringLiteral("error"), error.description()}});
        return;
    }
    if (request.commands.empty())
        return;
    line_.line().submit(
        request.commands,
        [this, id = request.id](const Result &result, const QString &notSent) {
            QJsonObject outcome{{QStringLiteral("command"), fromStd(result.command.words)},
                                {QStringLiteral("code"), fromStd(result.command.code)}};
            if (!id.isUndefined())
                outcome.insert(QStringLiteral("id"), id);
            if (!notSent.isEmpty()) {
                outcome.insert(QStringLiteral("error"), QStringLiteral("not sent: ") + notSent);
                reply(outcome);
                return;
            }
            outcome.insert(QStringLiteral("rendering"), replyLine(result));
            if (result.failure && result.failure->kind == FailureKind::NoReply)
                outcome.insert(QStringLiteral("error"),
                               QStringLiteral("no reply within %1 ms").arg(kReplyWindowMs));
            else if (result.failure)
                outcome.insert(QStringLiteral("error"), result.failure->description);
            else if (result.reading)
                outcome.insert(QStringLiteral("status"),
                               QString::fromStdString(scriptText(*result.reading)));
            reply(outcome);
        },
        kLongestWait, {nullptr, QStringLiteral("MQTT topic ") + topic});
}

void MqttFace::reply(const QJsonObject &object)
{
    mqtt_.publish(topics_(u"reply"), QJsonDocument(object).toJson(QJsonDocument::Compact), false);
}

} // namespace qv7::bridge
