#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

namespace qv7::bridge {

// The venue: every projector that a daemon on the same broker publishes, this one's among
// them, as far as the broker's retained messages tell: which host owns it, whether that host
// is online, its group and its state in the broker's words. The MQTT face feeds it while a
// list of projectors is open (watched), so that a daemon with no list open hears nothing of
// the others; the web face's list reads it.
class Venue : public QObject {
    Q_OBJECT

public:
    struct Projector {
        QString host;
        QString group;
        QString availability; // "online", "offline", or empty until it is heard
        QString link;
        QString power;
        QString input;
        std::optional<int> lampHours;
    };
    // What is kept of a hostile or mistaken publisher's flood: projectors past this many
    // are not listed.
    static constexpr qsizetype kMostProjectors = 1024;

    explicit Venue(QString hostName, QObject *parent = nullptr);

    // This daemon's name among the venue's hosts.
    const QString &hostName() const { return hostName_; }

    // From the broker. An empty payload is a retained message cleared: its field is forgotten.
    // Fields are "owner" (its JSON, {"host": …, "group": …}), "availability", "link",
    // "power", "input" and "lamp_hours"; others are not the venue's.
    void take(const QString &projector, const QString &field, const QByteArray &payload);
    void setHostOnline(const QString &host, bool online);
    // Everything heard before a new subscription is forgotten: the broker hands it over again.
    void forget();

    bool isHostOnline(const QString &host) const { return onlineHosts_.contains(host); }
    const QMap<QString, Projector> &projectors() const { return projectors_; }

    // A list is open while it is watched; watchedChanged says when the first opens and the
    // last closes.
    void watch();
    void unwatch();
    bool isWatched() const { return watchers_ > 0; }

signals:
    void changed(const QString &projector);
    void hostChanged(const QString &host);
    void watchedChanged(bool watched);

private:
    QString hostName_;
    QMap<QString, Projector> projectors_;
    QSet<QString> onlineHosts_;
    int watchers_ = 0;
    bool full_ = false; // the flood was logged
};

} // namespace qv7::bridge
