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
    std::string_view state = {};   // leaf of the state topic
    std::string_view command = {}; // leaf of the command topic
    std::string_view deviceClass = {};
    std::string_view unit = {};
    std::string_view stateClass = {};
    std::string_view category = {};
    std::string_view valueTemplate = {};
    Options options = Options::None;
    // For a switch or a button on the command topic: the commands it sends, in qv7ctl's words.
    std::string_view payloadOn = {};
    std::string_view payloadOff = {};
    std::string_view payloadPress = {};
};

// The power switch is on from the power-on command to the power-off one; the link is
// connected only when the projector answers. The mutes show what was last set (the projector
// has no query for them); the buttons are the remote's keys without a state.
constexpr Entity kEntities[] = {
    {.component = "switch",
     .object = "power",
     .name = "Power",
     .state = "power",
     .command = "power/set",
     .valueTemplate = "{{ 'ON' if value in ('on', 'warming') else 'OFF' }}"},
    {.component = "select",
     .object = "input",
     .name = "Input",
     .state = "input",
     .command = "input/set",
     .options = Options::Inputs},
    {.component = "sensor",
     .object = "power_state",
     .name = "Power state",
     .state = "power",
     .deviceClass = "enum",
     .options = Options::PowerStates},
    {.component = "sensor",
     .object = "lamp_hours",
     .name = "Lamp hours",
     .state = "lamp_hours",
     .deviceClass = "duration",
     .unit = "h",
     .stateClass = "total_increasing",
     .category = "diagnostic"},
    {.component = "sensor",
     .object = "orientation",
     .name = "Orientation",
     .state = "orientation",
     .category = "diagnostic"},
    {.component = "binary_sensor",
     .object = "link",
     .name = "Link",
     .state = "link",
     .deviceClass = "connectivity",
     .category = "diagnostic",
     .valueTemplate = "{{ 'ON' if value == 'up' else 'OFF' }}"},
    {.component = "switch",
     .object = "video_mute",
     .name = "Video mute",
     .state = "video_mute",
     .command = "command",
     .payloadOn = "video-mute on",
     .payloadOff = "video-mute off"},
    {.component = "switch",
     .object = "audio_mute",
     .name = "Audio mute",
     .state = "audio_mute",
     .command = "command",
     .payloadOn = "audio-mute on",
     .payloadOff = "audio-mute off"},
    {.component = "switch",
     .object = "freeze",
     .name = "Freeze",
     .state = "freeze",
     .command = "command",
     .payloadOn = "freeze on",
     .payloadOff = "freeze off"},
    {.component = "button",
     .object = "volume_up",
     .name = "Volume up",
     .command = "command",
     .payloadPress = "volume up"},
    {.component = "button",
     .object = "volume_down",
     .name = "Volume down",
     .command = "command",
     .payloadPress = "volume down"},
};

QString text(std::string_view value)
{
    return QString::fromLatin1(value.data(), qsizetype(value.size()));
}

QJsonArray words(const std::vector<std::string_view> &words)
{
    QJsonArray array;
    for (const std::string_view word : words)
        array.append(text(word));
    return array;
}

} // namespace

QString discoveryNode(const QString &projector)
{
    return QStringLiteral("qv7_") + QString(projector).replace(u'.', u'_');
}

QList<Message> discoveryMessages(const InventoryEntry &projector, const Topics &topics,
                                 const QString &discoveryPrefix)
{
    const QString node = discoveryNode(projector.name);
    QJsonObject device{
        {QStringLiteral("identifiers"), QJsonArray{node}},
        {QStringLiteral("name"), projector.name},
        {QStringLiteral("model"), projector.model},
        {QStringLiteral("sw_version"), QStringLiteral(QV7_VERSION)},
    };
    if (!projector.manufacturer.isEmpty())
        device.insert(QStringLiteral("manufacturer"), projector.manufacturer);
    QList<Message> messages;
    for (const Entity &entity : kEntities) {
        QJsonObject config{
            {QStringLiteral("name"), text(entity.name)},
            {QStringLiteral("unique_id"), node + u'_' + text(entity.object)},
            {QStringLiteral("object_id"), node + u'_' + text(entity.object)},
            {QStringLiteral("availability_topic"), topics(u"availability")},
            {QStringLiteral("device"), device},
        };
        const auto optional = [&config](const char *key, std::string_view value) {
            if (!value.empty())
                config.insert(QLatin1StringView(key), text(value));
        };
        if (!entity.state.empty())
            config.insert(QStringLiteral("state_topic"), topics(text(entity.state)));
        if (!entity.command.empty())
            config.insert(QStringLiteral("command_topic"), topics(text(entity.command)));
        optional("device_class", entity.deviceClass);
        optional("unit_of_measurement", entity.unit);
        optional("state_class", entity.stateClass);
        optional("entity_category", entity.category);
        optional("value_template", entity.valueTemplate);
        optional("payload_on", entity.payloadOn);
        optional("payload_off", entity.payloadOff);
        optional("payload_press", entity.payloadPress);
        if (!entity.payloadOn.empty()) {
            optional("state_on", "on");
            optional("state_off", "off");
        }
        if (entity.options != Options::None)
            config.insert(QStringLiteral("options"),
                          words(entity.options == Options::Inputs ? inputWords() : powerWords()));
        messages.append(
            {QStringLiteral("%1/%2/%3/%4/config")
                 .arg(discoveryPrefix, text(entity.component), node, text(entity.object)),
             QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return messages;
}

} // namespace qv7::bridge
