#pragma once

#include "engine/clock.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

#include <optional>

namespace qv7::bridge {

class RemotePanelLine;

// The venue: every projector that a daemon on the same broker publishes, this one's among
// them, as far as the broker's retained messages tell: which host owns it and its group (one
// retained message each, followed while there are web pages), whether that host is online,
// and its state in the broker's words, which the MQTT face follows only while a list of
// projectors is open (watched); the web face's list and its pages of other hosts'
// projectors read it.
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

    explicit Venue(QString hostName, QObject *parent = nullptr, Clock &clock = Clock::steady());
    ~Venue() override;

    // A field of a projector from the broker into what is known of it; false for a field
    // that is not the venue's.
    static bool read(Projector &projector, const QString &field, const QByteArray &payload);

    // This daemon's name among the venue's hosts.
    const QString &hostName() const { return hostName_; }

    // From the broker. An empty payload is a retained message cleared: its field is forgotten.
    // Fields are "owner" (its JSON, {"host": …, "group": …}), "availability", "link",
    // "power", "input" and "lamp_hours"; others are not the venue's.
    void take(const QString &projector, const QString &field, const QByteArray &payload);
    void setHostOnline(const QString &host, bool online);
    // The projectors' state is forgotten when the list closes: it is no longer followed, and a
    // new subscription hands it over again. Who owns each is followed all along.
    void forget();
    void forgetHosts() { onlineHosts_.clear(); }
    // A new connection to the broker hands everything over again.
    void forgetAll();

    bool isHostOnline(const QString &host) const { return onlineHosts_.contains(host); }
    const QMap<QString, Projector> &projectors() const { return projectors_; }

    // A list is open while it is watched; watchedChanged says when the first opens and the
    // last closes.
    void watch();
    void unwatch();
    bool isWatched() const { return watchers_ > 0; }

    // Another host's projector for a page, the same one for all the pages open on it, until
    // the last of them lets it go.
    RemotePanelLine *openRemote(const QString &name);
    void closeRemote(const QString &name);
    RemotePanelLine *remote(const QString &name) const { return remotes_.value(name).line; }
    QList<RemotePanelLine *> remotes() const;
    // The hosts' presence is needed: a list or a remote page is open.
    bool needsHosts() const { return isWatched() || !remotes_.isEmpty(); }

signals:
    void changed(const QString &projector);
    void hostChanged(const QString &host);
    void watchedChanged(bool watched);
    void remoteOpened(qv7::bridge::RemotePanelLine *line);
    void remoteClosing(qv7::bridge::RemotePanelLine *line);

private:
    struct Remote {
        RemotePanelLine *line = nullptr;
        int pages = 0;
    };

    QString hostName_;
    Clock &clock_;
    QHash<QString, Remote> remotes_;
    QMap<QString, Projector> projectors_;
    QSet<QString> onlineHosts_;
    int watchers_ = 0;
    bool full_ = false; // the flood was logged
};

} // namespace qv7::bridge
