#pragma once

#include "base/describederror.h"
#include "protocol/linesettings.h"
#include "protocol/pjlinkdatagram.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <array>
#include <chrono>
#include <optional>

namespace qv7 {

// Where a server listens (an address of this machine's and a port), or where datagrams go.
struct ListenAddress {
    QString host; // an IPv4 or IPv6 address, without brackets
    quint16 port = 0;
};

// One projector of an inventory: the name of its section, the port the serial control opens
// for it (a device path or whatever else a transport takes), its line settings and its group.
struct InventoryEntry {
    QString name;
    QString port;
    LineSettings settings = *parseLineSettings(kFastLineSettings); // unless it names 9600
    QString group;                                                 // empty: in no group
    // How often the bridge asks for the power state (while warming or cooling: transition)
    // and the lamp hours.
    std::chrono::seconds powerPoll{30};
    std::chrono::seconds transitionPoll{2};
    std::chrono::seconds lampPoll{600};
    // Its PJLink face: where it listens (port 0: it has none), the file whose first line is
    // its password, and what it tells of the projector.
    QString pjlinkHost; // an IP address
    quint16 pjlinkPort = 0;
    QString pjlinkPasswordFile;
    QString manufacturer;
    QString model = QStringLiteral("QV7");
    QString information;
    QString serialNumber;
    QString lampModel;   // of the replacement lamp
    QString filterModel; // of the replacement filter
    // By Input; empty: the panel's caption.
    std::array<QString, 3> inputNames;
    // Its PJLink Class 2 face over UDP: the MAC address it answers a search with (nothing: one
    // made from its name), and the controllers it notifies of changes (port 0: the PJLink UDP
    // port that the bridge uses).
    std::optional<pjlink::Mac> mac;
    QList<ListenAddress> pjlinkNotify;
};

// "127.0.0.1:4352", "[::]:4352"; nothing for another text (a host name, no port).
std::optional<ListenAddress> parseListenAddress(const QString &text);

// A fault in an inventory file, as "FILE:LINE: what is wrong".
class InventoryError : public DescribedError {
public:
    using DescribedError::DescribedError;
};

// The projectors that the command-line tool and the bridge drive: an INI file with a section
// [NAME] for each, holding "port = PORT" and optionally "speed = 19200|9600",
// "group = NAME", the poll periods in seconds, "power-poll", "transition-poll" and
// "lamp-poll", and the PJLink face's "pjlink = ADDRESS:PORT", "pjlink-password-file = PATH",
// "manufacturer", "model", "info", "serial-number", "lamp-model", "filter-model", the inputs'
// names "input-name-pc1", "input-name-pc2" and "input-name-video", "mac = xx:xx:xx:xx:xx:xx"
// and "pjlink-notify = ADDRESS[:PORT], ...". Blank lines and lines that start with # or ; are
// ignored.
class Inventory {
public:
    // Both throw InventoryError naming the file and the line at fault.
    static Inventory load(const QString &path);
    static Inventory parse(QStringView text, const QString &fileName);

    const QList<InventoryEntry> &projectors() const { return projectors_; }
    const InventoryEntry *find(QStringView name) const;
    QList<InventoryEntry> group(QStringView name) const;

private:
    QList<InventoryEntry> projectors_;
};

} // namespace qv7
