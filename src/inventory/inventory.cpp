#include "inventory.h"

#include "protocol/linesettings.h"
#include "protocol/networkport.h"
#include "protocol/pjlink.h"

#include <QFile>

#include <algorithm>

namespace qv7 {

namespace {

// Names end up in result lines and monitoring labels: keep them to one plain word.
bool isName(QStringView name)
{
    return !name.isEmpty() && std::ranges::all_of(name, [](QChar c) {
        return (c.isLetterOrNumber() && c.unicode() < 128) || c == u'_' || c == u'.' || c == u'-';
    });
}

// How a key's value goes into its projector's entry: the fault in the value, or nothing when
// it was taken.
using ValueReader = std::optional<QString> (*)(InventoryEntry &entry, QStringView key,
                                               const QString &value);

std::optional<QString> readPort(InventoryEntry &entry, QStringView, const QString &value)
{
    if (!entry.port.isEmpty())
        return QStringLiteral("a second port for [%1]").arg(entry.name);
    entry.port = value;
    return std::nullopt;
}

std::optional<QString> readSpeed(InventoryEntry &entry, QStringView, const QString &value)
{
    const auto settings = projectorLineSettings(value.toStdString());
    if (!settings)
        return QStringLiteral("speed is 19200 or 9600, not %1").arg(value);
    entry.settings = *parseLineSettings(*settings);
    return std::nullopt;
}

std::optional<QString> readGroup(InventoryEntry &entry, QStringView, const QString &value)
{
    if (!isName(value))
        return QStringLiteral("\"%1\" is no group name").arg(value);
    entry.group = value;
    return std::nullopt;
}

constexpr int kLongestPollSeconds = 86400;

template <std::chrono::seconds InventoryEntry::*period>
std::optional<QString> readPoll(InventoryEntry &entry, QStringView key, const QString &value)
{
    bool number = false;
    const int seconds = value.toInt(&number);
    if (!number || seconds < 1 || seconds > kLongestPollSeconds)
        return QStringLiteral("%1 is seconds from 1 to %2, not %3")
            .arg(key)
            .arg(kLongestPollSeconds)
            .arg(value);
    entry.*period = std::chrono::seconds(seconds);
    return std::nullopt;
}

std::optional<QString> readPjlink(InventoryEntry &entry, QStringView, const QString &value)
{
    const auto address = parseListenAddress(value);
    if (!address)
        return QStringLiteral("pjlink is ADDRESS:PORT, such as 127.0.0.1:4352 or [::]:4352, not %1")
            .arg(value);
    entry.pjlinkHost = address->host;
    entry.pjlinkPort = address->port;
    return std::nullopt;
}

std::optional<QString> readPasswordFile(InventoryEntry &entry, QStringView, const QString &value)
{
    entry.pjlinkPasswordFile = value;
    return std::nullopt;
}

// What the PJLink face tells of the projector, in its informational answers: the fault in
// the text, or nothing.
std::optional<QString> answerTextFault(QStringView key, const QString &value, std::size_t longest)
{
    // Anything beyond ASCII becomes bytes that PJLink does not take.
    if (!pjlink::isAnswerText(value.toStdString(), longest))
        return QStringLiteral("%1 is at most %2 printable ASCII characters").arg(key).arg(longest);
    return std::nullopt;
}

template <QString InventoryEntry::*text>
std::optional<QString> readAnswerText(InventoryEntry &entry, QStringView key, const QString &value)
{
    const auto fault = answerTextFault(key, value, pjlink::kLongestInformation);
    if (!fault)
        entry.*text = value;
    return fault;
}

template <Input input>
std::optional<QString> readInputName(InventoryEntry &entry, QStringView key, const QString &value)
{
    const auto fault = answerTextFault(key, value, pjlink::kLongestName);
    if (!fault)
        entry.inputNames[std::size_t(input)] = value;
    return fault;
}

std::optional<QString> readMac(InventoryEntry &entry, QStringView, const QString &value)
{
    const auto mac = pjlink::parseMac(value.toStdString());
    if (!mac || pjlink::isMulticast(*mac))
        return QStringLiteral("mac is a unicast MAC address, xx:xx:xx:xx:xx:xx, not %1").arg(value);
    entry.mac = mac;
    return std::nullopt;
}

// Enough for the control systems of a venue; each change goes to every one of them.
constexpr qsizetype kMostNotified = 16;

// "ADDRESS[:PORT], ...", an IPv6 address with a port in brackets.
std::optional<QString> readNotify(InventoryEntry &entry, QStringView, const QString &value)
{
    const QStringList items = value.split(u',');
    if (items.size() > kMostNotified)
        return QStringLiteral("pjlink-notify names at most %1 controllers").arg(kMostNotified);
    for (const QString &item : items) {
        QString text = item.trimmed();
        if (text.startsWith(u'[') && text.endsWith(u']'))
            text = text.sliced(1, text.size() - 2);
        if (isIpAddress(text.toStdString())) {
            entry.pjlinkNotify.append({text, 0});
            continue;
        }
        const auto address = parseListenAddress(text);
        if (!address)
            return QStringLiteral("pjlink-notify is ADDRESS[:PORT], ... such as 127.0.0.1 or "
                                  "[::1]:4352, not %1")
                .arg(item.trimmed());
        entry.pjlinkNotify.append(*address);
    }
    return std::nullopt;
}

// The keys of a projector's section, in the order that the message for an unknown key lists
// them.
struct Key {
    QStringView name;
    ValueReader read;
};
constexpr Key kKeys[] = {
    {u"port", readPort},
    {u"speed", readSpeed},
    {u"group", readGroup},
    {u"power-poll", readPoll<&InventoryEntry::powerPoll>},
    {u"transition-poll", readPoll<&InventoryEntry::transitionPoll>},
    {u"lamp-poll", readPoll<&InventoryEntry::lampPoll>},
    {u"pjlink", readPjlink},
    {u"pjlink-password-file", readPasswordFile},
    {u"manufacturer", readAnswerText<&InventoryEntry::manufacturer>},
    {u"model", readAnswerText<&InventoryEntry::model>},
    {u"info", readAnswerText<&InventoryEntry::information>},
    {u"serial-number", readAnswerText<&InventoryEntry::serialNumber>},
    {u"lamp-model", readAnswerText<&InventoryEntry::lampModel>},
    {u"filter-model", readAnswerText<&InventoryEntry::filterModel>},
    {u"input-name-pc1", readInputName<Input::Pc1>},
    {u"input-name-pc2", readInputName<Input::Pc2>},
    {u"input-name-video", readInputName<Input::Video>},
    {u"mac", readMac},
    {u"pjlink-notify", readNotify},
};

// "port, speed, ... or input-name-video".
QString keyNames()
{
    QStringList names;
    for (const Key &key : kKeys)
        names << key.name.toString();
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" or ") + last;
}

// Reads an inventory's text a line at a time into its projectors; a fault throws
// InventoryError naming the file and the line.
class InventoryReader {
public:
    explicit InventoryReader(const QString &fileName)
        : fileName_(fileName)
    {
    }

    void read(QStringView rawLine)
    {
        ++lineNumber_;
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            return;
        if (line.startsWith(u'['))
            startSection(line);
        else
            readKey(line);
    }

    QList<InventoryEntry> finish()
    {
        finishSection();
        if (projectors_.isEmpty())
            throw InventoryError(QStringLiteral("%1: no projectors in it").arg(fileName_));
        return std::move(projectors_);
    }

private:
    [[noreturn]] void fail(int line, const QString &what) const
    {
        throw InventoryError(QStringLiteral("%1:%2: %3").arg(fileName_).arg(line).arg(what));
    }

    void startSection(QStringView line)
    {
        if (!line.endsWith(u']'))
            fail(lineNumber_, QStringLiteral("a section is [NAME]"));
        const QStringView name = line.sliced(1, line.size() - 2).trimmed();
        if (!isName(name))
            fail(lineNumber_,
                 QStringLiteral("\"%1\" is no name: use letters, digits, ., _ and -").arg(name));
        if (std::ranges::find(projectors_, name, &InventoryEntry::name) != projectors_.end())
            fail(lineNumber_, QStringLiteral("[%1] is there twice").arg(name));
        finishSection();
        sectionLine_ = lineNumber_;
        InventoryEntry entry;
        entry.name = name.toString();
        projectors_.append(entry);
    }

    void readKey(QStringView line)
    {
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            fail(lineNumber_, QStringLiteral("expected [NAME] or KEY = VALUE"));
        if (projectors_.isEmpty())
            fail(lineNumber_, QStringLiteral("a key before the first [NAME]"));
        const QStringView name = line.first(equals).trimmed();
        const QString value = line.sliced(equals + 1).trimmed().toString();
        if (value.isEmpty())
            fail(lineNumber_, QStringLiteral("%1 has no value").arg(name));
        const auto key = std::ranges::find(kKeys, name, &Key::name);
        if (key == std::end(kKeys))
            fail(lineNumber_, QStringLiteral("unknown key \"%1\" (%2)").arg(name, keyNames()));
        if (const auto fault = key->read(projectors_.last(), name, value))
            fail(lineNumber_, *fault);
    }

    // What a section can only be checked for once all its keys are read.
    void finishSection() const
    {
        if (projectors_.isEmpty())
            return;
        const InventoryEntry &last = projectors_.last();
        if (last.port.isEmpty())
            fail(sectionLine_, QStringLiteral("[%1] has no port").arg(last.name));
        // PJLink answers carry the name.
        if (last.pjlinkPort && std::size_t(last.name.size()) > pjlink::kLongestName)
            fail(sectionLine_, QStringLiteral("[%1]: a name for PJLink is at most %2 characters")
                                   .arg(last.name)
                                   .arg(pjlink::kLongestName));
        for (const auto &[key, given] :
             {std::pair{"pjlink-password-file", !last.pjlinkPasswordFile.isEmpty()},
              {"mac", last.mac.has_value()},
              {"pjlink-notify", !last.pjlinkNotify.isEmpty()}}) {
            if (given && !last.pjlinkPort)
                fail(sectionLine_, QStringLiteral("[%1] has a %2 but no pjlink")
                                       .arg(last.name, QLatin1StringView(key)));
        }
    }

    QString fileName_;
    QList<InventoryEntry> projectors_;
    int lineNumber_ = 0;
    int sectionLine_ = 0;
};

} // namespace

std::optional<ListenAddress> parseListenAddress(const QString &text)
{
    const qsizetype colon = text.lastIndexOf(u':');
    if (colon < 0)
        return std::nullopt;
    QString host = text.first(colon);
    if (host.startsWith(u'[') && host.endsWith(u']'))
        host = host.sliced(1, host.size() - 2);
    else if (host.contains(u':'))
        return std::nullopt; // an IPv6 address goes in brackets
    bool number = false;
    const uint port = text.sliced(colon + 1).toUInt(&number);
    if (!number || port < 1 || port > 65535 || !isIpAddress(host.toStdString()))
        return std::nullopt;
    return ListenAddress{host, quint16(port)};
}

Inventory Inventory::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw InventoryError(
            QStringLiteral("%1: cannot be read (%2)").arg(path, file.errorString()));
    return parse(QString::fromUtf8(file.readAll()), path);
}

Inventory Inventory::parse(QStringView text, const QString &fileName)
{
    InventoryReader reader(fileName);
    for (const QStringView line : text.split(u'\n'))
        reader.read(line);
    Inventory inventory;
    inventory.projectors_ = reader.finish();
    return inventory;
}

const InventoryEntry *Inventory::find(QStringView name) const
{
    for (const InventoryEntry &entry : projectors_) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

QList<InventoryEntry> Inventory::group(QStringView name) const
{
    QList<InventoryEntry> members;
    for (const InventoryEntry &entry : projectors_) {
        if (entry.group == name)
            members.append(entry);
    }
    return members;
}

} // namespace qv7
