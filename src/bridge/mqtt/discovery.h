#pragma once

#include "inventory/inventory.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace qv7::bridge {

// The topics of one projector: PREFIX/NAME/LEAF.
class Topics {
public:
    Topics(const QString &prefix, const QString &projector)
        : base_(prefix + u'/' + projector + u'/')
    {
    }

    QString operator()(QStringView leaf) const { return base_ + leaf.toString(); }

private:
    QString base_;
};

// A projector's id in discovery: qv7_NAME, with the dots of the name as _ (discovery's node
// ids take letters, digits, _ and -).
QString discoveryNode(const QString &projector);

struct Message {
    QString topic;
    QByteArray payload;
};

// Home Assistant's discovery messages for one projector: one device with a power switch, an
// input select, sensors for the power state, the lamp hours and the orientation, and a
// connectivity sensor for the line, each under DISCOVERY/COMPONENT/qv7_NAME/OBJECT/config. The
// device carries the inventory's manufacturer and model.
QList<Message> discoveryMessages(const InventoryEntry &projector, const Topics &topics,
                                 const QString &discoveryPrefix);

} // namespace qv7::bridge
