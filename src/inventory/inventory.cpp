#include "inventory.h"

#include "protocol/linesettings.h"
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

// The poll periods an inventory may set, and how long each may be.
struct PollKey {
    QStringView key;
    std::chrono::seconds InventoryEntry::*period;
};
constexpr PollKey kPollKeys[] = {
    {u"power-poll", &InventoryEntry::powerPoll},
    {u"transition-poll", &InventoryEntry::transitionPoll},
    {u"lamp-poll", &InventoryEntry::lampPoll},
};
constexpr int kLongestPollSeconds = 86400;

const PollKey *findPollKey(QStringView key)
{
    const auto it = std::ranges::find(kPollKeys, key, &PollKey::key);
    return it == std::end(kPollKeys) ? nullptr : &*it;
}

// What the PJLink face tells of the projector, in its informational answers.
struct TextKey {
    QStringView key;
    QString InventoryEntry::*text;
};
constexpr TextKey kTextKeys[] = {
    {u"manufacturer", &InventoryEntry::manufacturer},
    {u"model", &InventoryEntry::model},
    {u"info", &InventoryEntry::information},
};

const TextKey *findTextKey(QStringView key)
{
    const auto it = std::ranges::find(kTextKeys, key, &TextKey::key);
    return it == std::end(kTextKeys) ? nullptr : &*it;
}

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
    ListenAddress address;
    if (!number || port < 1 || port > 65535 || !address.host.setAddress(host))
        return std::nullopt;
    address.port = quint16(port);
    return address;
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
    Inventory inventory;
    int lineNumber = 0;
    int sectionLine = 0;
    const auto fail = [&fileName](int line, const QString &what) {
        throw InventoryError(QStringLiteral("%1:%2: %3").arg(fileName).arg(line).arg(what));
    };
    const auto finishSection = [&] {
        if (inventory.projectors_.isEmpty())
            return;
        const InventoryEntry &last = inventory.projectors_.last();
        if (last.port.isEmpty())
            fail(sectionLine, QStringLiteral("[%1] has no port").arg(last.name));
        // PJLink answers carry the name.
        if (last.pjlinkPort && std::size_t(last.name.size()) > pjlink::kLongestName)
            fail(sectionLine, QStringLiteral("[%1]: a name for PJLink is at most %2 characters")
                                  .arg(last.name)
                                  .arg(pjlink::kLongestName));
        if (!last.pjlinkPasswordFile.isEmpty() && !last.pjlinkPort)
            fail(sectionLine,
                 QStringLiteral("[%1] has a pjlink-password-file but no pjlink").arg(last.name));
    };
    for (const QStringView rawLine : text.split(u'\n')) {
        ++lineNumber;
        const QStringView line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']'))
                fail(lineNumber, QStringLiteral("a section is [NAME]"));
            const QStringView name = line.sliced(1, line.size() - 2).trimmed();
            if (!isName(name))
                fail(
                    lineNumber,
                    QStringLiteral("\"%1\" is no name: use letters, digits, ., _ and -").arg(name));
            if (inventory.find(name))
                fail(lineNumber, QStringLiteral("[%1] is there twice").arg(name));
            finishSection();
            sectionLine = lineNumber;
            InventoryEntry entry;
            entry.name = name.toString();
            inventory.projectors_.append(entry);
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        if (equals < 0)
            fail(lineNumber, QStringLiteral("expected [NAME] or KEY = VALUE"));
        if (inventory.projectors_.isEmpty())
            fail(lineNumber, QStringLiteral("a key before the first [NAME]"));
        const QStringView key = line.first(equals).trimmed();
        const QString value = line.sliced(equals + 1).trimmed().toString();
        InventoryEntry &entry = inventory.projectors_.last();
        if (value.isEmpty())
            fail(lineNumber, QStringLiteral("%1 has no value").arg(key));
        if (key == u"port") {
            if (!entry.port.isEmpty())
                fail(lineNumber, QStringLiteral("a second port for [%1]").arg(entry.name));
            entry.port = value;
        } else if (key == u"speed") {
            const auto settings = projectorLineSettings(value.toStdString());
            if (!settings)
                fail(lineNumber, QStringLiteral("speed is 19200 or 9600, not %1").arg(value));
            entry.settings = *parseLineSettings(*settings);
        } else if (key == u"group") {
            if (!isName(value))
                fail(lineNumber, QStringLiteral("\"%1\" is no group name").arg(value));
            entry.group = value;
        } else if (const PollKey *poll = findPollKey(key)) {
            bool number = false;
            const int seconds = value.toInt(&number);
            if (!number || seconds < 1 || seconds > kLongestPollSeconds)
                fail(lineNumber, QStringLiteral("%1 is seconds from 1 to %2, not %3")
                                     .arg(key)
                                     .arg(kLongestPollSeconds)
                                     .arg(value));
            entry.*poll->period = std::chrono::seconds(seconds);
        } else if (key == u"pjlink") {
            const auto address = parseListenAddress(value);
            if (!address)
                fail(lineNumber, QStringLiteral("pjlink is ADDRESS:PORT, such as 127.0.0.1:4352 "
                                                "or [::]:4352, not %1")
                                     .arg(value));
            entry.pjlinkHost = address->host;
            entry.pjlinkPort = address->port;
        } else if (key == u"pjlink-password-file") {
            entry.pjlinkPasswordFile = value;
        } else if (const TextKey *textKey = findTextKey(key)) {
            // Anything beyond ASCII becomes bytes that PJLink does not take.
            if (!pjlink::isAnswerText(value.toStdString(), pjlink::kLongestInformation))
                fail(lineNumber, QStringLiteral("%1 is at most %2 printable ASCII characters")
                                     .arg(key)
                                     .arg(pjlink::kLongestInformation));
            entry.*textKey->text = value;
        } else {
            fail(lineNumber,
                 QStringLiteral("unknown key \"%1\" (port, speed, group, power-poll, "
                                "transition-poll, lamp-poll, pjlink, pjlink-password-file, "
                                "manufacturer, model or info)")
                     .arg(key));
        }
    }
    finishSection();
    if (inventory.projectors_.isEmpty())
        throw InventoryError(QStringLiteral("%1: no projectors in it").arg(fileName));
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
