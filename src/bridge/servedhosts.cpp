#include "servedhosts.h"

#include <QHostAddress>
#include <QHostInfo>

#include <optional>

namespace qv7::bridge {

ServedHosts::ServedHosts()
{
    const QString machine = QHostInfo::localHostName();
    const QString domain = QHostInfo::localDomainName();
    names_ = {QStringLiteral("localhost"), machine, machine + QStringLiteral(".local")};
    if (!domain.isEmpty())
        names_.append(machine + u'.' + domain);
}

bool ServedHosts::serves(std::string_view host, quint16 port, bool secure) const
{
    QString name = QString::fromUtf8(host.data(), qsizetype(host.size()));
    std::optional<quint16> named;
    const qsizetype colon = name.lastIndexOf(u':');
    if (colon > name.lastIndexOf(u']')) {
        bool number = false;
        named = name.sliced(colon + 1).toUShort(&number);
        if (!number)
            return false;
        name.truncate(colon);
    }
    if (named.value_or(secure ? 443 : 80) != port)
        return false;
    if (name.startsWith(u'[') && name.endsWith(u']'))
        name = name.sliced(1, name.size() - 2);
    if (!QHostAddress(name).isNull())
        return true;
    return names_.contains(name, Qt::CaseInsensitive);
}

} // namespace qv7::bridge
