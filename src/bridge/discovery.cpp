#include "discovery.h"

#include "requests.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string_view>

namespace qv7::bridge {

namespace {

enum class Options { None, Inputs, PowerStates };

// One entity of the device; empty columns are left out of its payload.
struct Entity {
    std::string_view component;
    std::string_view object;
    std::string_view name;
    std::string_view state;   // leaf of the state topic
    std::string_view command; // leaf of the command topic
    std::string_view deviceClass = {};
    std::string_view unit = {};
    std::string_view stateClass = {};
    std::string_view category = {};
    std::string_view valueTemplate = {};
    Options options = Options::None;
};

// The switch is on from the power-on command to the power-off one; the link is connected only
// when the projector answers.
constexpr Entity kEntities[] = {
    {"switch",
     "power",
     "Power",
     "power",
     "power/set",
     {},
     {},
     {},
     {},
     "{{ 'ON' if value in ('on', 'warming') else 'OFF' }}"},
    {"select", "input", "Input", "input", "input/set", {}, {}, {}, {}, {}, Options::Inputs},
    {"sensor",
     "power_state",
     "Power state",
     "power",
     {},
     "enum",
     {},
     {},
     {},
     {},
     Options::PowerStates},
    {"sensor",
     "lamp_hours",
     "Lamp hours",
     "lamp_hours",
     {},
     "duration",
     "h",
     "total_increasing",
     "diagnostic"},
    {"sensor", "orientation", "Orientation", "orientation", {}, {}, {}, {}, "diagnostic"},
    {"binary_sensor",
     "link",
     "Link",
     "link",
     {},
     "connectivity",
     {},
     {},
     "diagnostic",
     "{{ 'ON' if value == 'up' else 'OFF' }}"},
};

QString text(std::string_view value)
{
    return QString::fromLatin1(value.data(), qsizetype(value.size()));
}

} // namespace

QList<Message> discoveryMessages(const QString &projector, const Topics &topics,
                                 const QString &discoveryPrefix)
{
    // Discovery's node ids take letters, digits, _ and -; inventory names may also hold dots.
    const QString node = QStringLiteral("qv7_") + QString(projector).replace(u'.', u'_');
    const QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), projector},
        {QStringLiteral("model"), QStringLiteral("QV7")},
        {QStringLiteral("sw_version"), QStringLiteral(QV7_VERSION)},
    };
    QList<Message> messages;
    for (const Entity &entity : kEntities) {
        QJsonObject config{
            {QStringLiteral("name"), text(entity.name)},
            {QStringLiteral("unique_id"), node + u'_' + text(entity.object)},
            {QStringLiteral("object_id"), node + u'_' + text(entity.object)},
            {QStringLiteral("state_topic"), topics(text(entity.state))},
            {QStringLiteral("availability_topic"), topics(u"availability")},
            {QStringLiteral("device"), device},
        };
        const auto optional = [&config](const char *key, std::string_view value) {
            if (!value.empty())
                config.insert(QLatin1StringView(key), text(value));
        };
        if (!entity.command.empty())
            config.insert(QStringLiteral("command_topic"), topics(text(entity.command)));
        optional("device_class", entity.deviceClass);
        optional("unit_of_measurement", entity.unit);
        optional("state_class", entity.stateClass);
        optional("entity_category", entity.category);
        optional("value_template", entity.valueTemplate);
        if (entity.options != Options::None)
            config.insert(QStringLiteral("options"),
                          QJsonArray::fromStringList(
                              entity.options == Options::Inputs ? inputWords() : powerWords()));
        messages.append(
            {QStringLiteral("%1/%2/%3/%4/config")
                 .arg(discoveryPrefix, text(entity.component), node, text(entity.object)),
             QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return messages;
}

} // namespace qv7::bridge
