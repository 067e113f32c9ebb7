#include "venue.h"

#include "log.h"
#include "remotepanelline.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace qv7::bridge {

namespace {

// The broker's words are short; a longer payload is no state of ours.
constexpr qsizetype kLongestWord = 64;

} // namespace

Venue::Venue(QString hostName, QObject *parent, Clock &clock)
    : QObject(parent)
    , hostName_(std::move(hostName))
    , clock_(clock)
{
}

Venue::~Venue() = default;

bool Venue::read(Projector &entry, const QString &field, const QByteArray &payload)
{
    const QString word =
        payload.size() <= kLongestWord ? QString::fromUtf8(payload).trimmed() : QString();
    if (field == u"owner") {
        const QJsonObject owner = QJsonDocument::fromJson(payload).object();
        entry.host = owner.value(QStringLiteral("host")).toString().left(kLongestWord);
        entry.group = owner.value(QStringLiteral("group")).toString().left(kLongestWord);
    } else if (field == u"availability") {
        entry.availability = word;
    } else if (field == u"link") {
        entry.link = word;
    } else if (field == u"power") {
        entry.power = word;
    } else if (field == u"input") {
        entry.input = word;
    } else if (field == u"lamp_hours") {
        bool number = false;
        const int hours = word.toInt(&number);
        entry.lampHours = number && hours >= 0 ? std::optional(hours) : std::nullopt;
    } else {
        return false;
    }
    return true;
}

void Venue::take(const QString &projector, const QString &field, const QByteArray &payload)
{
    auto it = projectors_.find(projector);
    if (it == projectors_.end()) {
        if (payload.isEmpty())
            return;
        if (projectors_.size() >= kMostProjectors) {
            if (!std::exchange(full_, true))
                logEvent(Priority::Warning,
                         QStringLiteral("qv7-bridge: the venue lists %1 projectors, the most it "
                                        "keeps; %2 and any more are not listed")
                             .arg(kMostProjectors)
                             .arg(projector));
            return;
        }
        it = projectors_.insert(projector, {});
    }
    if (read(*it, field, payload))
        emit changed(projector);
}

void Venue::setHostOnline(const QString &host, bool online)
{
    if (online == onlineHosts_.contains(host))
        return;
    if (online)
        onlineHosts_.insert(host);
    else
        onlineHosts_.remove(host);
    emit hostChanged(host);
}

void Venue::forget()
{
    for (Projector &projector : projectors_) {
        Projector owned;
        owned.host = projector.host;
        owned.group = projector.group;
        projector = owned;
    }
}

void Venue::forgetAll()
{
    projectors_.clear();
    onlineHosts_.clear();
    full_ = false;
}

RemotePanelLine *Venue::openRemote(const QString &name)
{
    Remote &remote = remotes_[name];
    if (remote.pages++ == 0) {
        remote.line = new RemotePanelLine(name, *this, clock_, this);
        emit remoteOpened(remote.line);
    }
    return remote.line;
}

void Venue::closeRemote(const QString &name)
{
    const auto it = remotes_.find(name);
    if (it == remotes_.end() || --it->pages > 0)
        return;
    RemotePanelLine *line = it->line;
    remotes_.erase(it);
    emit remoteClosing(line);
    delete line;
}

QList<RemotePanelLine *> Venue::remotes() const
{
    QList<RemotePanelLine *> lines;
    for (const Remote &remote : remotes_)
        lines.append(remote.line);
    return lines;
}

void Venue::watch()
{
    if (watchers_++ == 0)
        emit watchedChanged(true);
}

void Venue::unwatch()
{
    if (--watchers_ == 0) {
        forget();
        emit watchedChanged(false);
    }
}

} // namespace qv7::bridge
