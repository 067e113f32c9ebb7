#include "remotepanelline.h"

#include "protocol/commandtable.h"

#include <QJsonDocument>
#include <QRandomGenerator>

namespace qv7::bridge {

namespace {

// The ticker's period: resends, answers that never came, and the owner's word on holds.
constexpr Milliseconds kTick{250};

QString control(std::string_view name)
{
    return QString::fromLatin1(name.data(), qsizetype(name.size()));
}

} // namespace

RemotePanelLine::RemotePanelLine(const QString &name, Venue &venue, Clock &clock, QObject *parent)
    : PanelLine(parent)
    , name_(name)
    , venue_(venue)
    , clock_(clock)
    , ticker_(clock, this)
    // Ids are this line's own among every host's, and across this daemon's restarts.
    , idPrefix_(venue.hostName() + u'/' +
                QString::number(QRandomGenerator::system()->generate64(), 16) + u'/')
{
    ticker_.setInterval(kTick);
    connect(&ticker_, &LineTimer::timeout, this, &RemotePanelLine::tick);
    connect(&venue_, &Venue::hostChanged, this, [this](const QString &host) {
        if (host == state_.host)
            emit stateChanged();
    });
}

PanelLine::Snapshot RemotePanelLine::snapshot() const
{
    Snapshot snapshot;
    if (state_.host.isEmpty()) {
        snapshot.link = QStringLiteral("unknown");
        snapshot.reason = QStringLiteral("no daemon on the broker has published %1").arg(name_);
    } else if (!venue_.isHostOnline(state_.host)) {
        snapshot.link = QStringLiteral("host offline");
        snapshot.reason = QStringLiteral("the daemon of %1, which owns this projector, is offline")
                              .arg(state_.host);
    } else if (state_.availability != u"online") {
        snapshot.link = state_.link.isEmpty() ? QStringLiteral("down") : state_.link;
        snapshot.reason = QStringLiteral("%1 cannot reach the projector's line").arg(state_.host);
    } else {
        const auto known = [](const QString &word) {
            return word.isEmpty() ? std::nullopt : std::optional(word);
        };
        snapshot.link = state_.link;
        snapshot.power = known(state_.power);
        snapshot.input = known(state_.input);
        snapshot.lampHours = state_.lampHours;
    }
    return snapshot;
}

QString RemotePanelLine::origin(const Asker &asker) const
{
    return asker.origin + QStringLiteral(" on ") + venue_.hostName();
}

QString RemotePanelLine::nextId()
{
    return idPrefix_ + QString::number(++lastId_);
}

void RemotePanelLine::click(const OneShotCommand &button, const Asker &asker, const Done &done)
{
    send({{QStringLiteral("from"), origin(asker)},
          {QStringLiteral("click"), control(button.control)}},
         done);
}

void RemotePanelLine::power(bool on, const Asker &asker, const Done &done)
{
    send({{QStringLiteral("from"), origin(asker)},
          {QStringLiteral("power"), on ? QStringLiteral("on") : QStringLiteral("off")}},
         done);
}

void RemotePanelLine::send(const QJsonObject &message, const Done &done)
{
    const QString id = nextId();
    QJsonObject withId = message;
    withId.insert(QStringLiteral("id"), id);
    waiting_.insert(id, {withId, done, clock_.now() + kAnswerWait, clock_.now() + kResend});
    ticker_.start();
    emit command(withId);
}

PanelLine::HoldId RemotePanelLine::press(const HoldCommand &button, const Asker &asker,
                                         const Done &done)
{
    const QString id = nextId();
    holds_.insert(lastId_, id);
    // Answered when the hold ends, which may be long after the wait for a click's answer.
    waiting_.insert(id, {{}, done, Milliseconds::max(), Milliseconds::max()});
    emit command({{QStringLiteral("id"), id},
                  {QStringLiteral("from"), origin(asker)},
                  {QStringLiteral("press"), control(button.control)}});
    return lastId_;
}

void RemotePanelLine::alive(HoldId hold)
{
    if (const QString id = holds_.value(hold); !id.isEmpty())
        emit command({{QStringLiteral("id"), id}, {QStringLiteral("alive"), true}});
}

void RemotePanelLine::letGo(HoldId hold)
{
    const QString id = holds_.take(hold);
    if (id.isEmpty())
        return;
    emit command({{QStringLiteral("id"), id}, {QStringLiteral("release"), true}});
    // Its owner's answer may never come (its host gone): the page is done with it.
    if (const auto it = waiting_.find(id); it != waiting_.end()) {
        it->deadline = clock_.now() + kAnswerWait;
        ticker_.start();
    }
}

void RemotePanelLine::take(const QString &leaf, const QByteArray &payload)
{
    if (leaf == u"panel/reply")
        return answered(QJsonDocument::fromJson(payload).object());
    if (leaf == u"traffic") {
        const QJsonObject texts = QJsonDocument::fromJson(payload).object();
        txd_ = texts.value(QStringLiteral("txd")).toString();
        rxd_ = texts.value(QStringLiteral("rxd")).toString();
        status_ = texts.value(QStringLiteral("status")).toString();
        emit trafficChanged();
        return;
    }
    if (Venue::read(state_, leaf, payload))
        emit stateChanged();
}

void RemotePanelLine::answered(const QJsonObject &reply)
{
    const auto it = waiting_.find(reply.value(QStringLiteral("id")).toString());
    if (it == waiting_.end())
        return;
    if (reply.value(QStringLiteral("taken")).toBool()) {
        // In its owner's queue: sent no more, and ended by the owner's word on its outcome.
        it->message = {};
        if (it->deadline != Milliseconds::max())
            it->deadline = clock_.now() + kLongestQueued;
        return;
    }
    const Done done = it->done;
    waiting_.erase(it);
    done(reply.value(QStringLiteral("notSent")).toString());
}

void RemotePanelLine::tick()
{
    const Milliseconds now = clock_.now();
    QList<std::pair<Done, QString>> unanswered;
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (it->deadline <= now) {
            unanswered.append(
                {it->done, QStringLiteral("%1, which owns the projector, did not "
                                          "answer within %2 s")
                               .arg(state_.host.isEmpty() ? QStringLiteral("no host") : state_.host)
                               .arg(kAnswerWait.count())});
            it = waiting_.erase(it);
            continue;
        }
        if (!it->message.isEmpty() && it->resend <= now) {
            it->resend = now + kResend;
            emit command(it->message);
        }
        ++it;
    }
    if (std::ranges::none_of(waiting_,
                             [](const Waiting &w) { return w.deadline != Milliseconds::max(); }))
        ticker_.stop();
    for (const auto &[done, why] : unanswered)
        done(why);
}

} // namespace qv7::bridge
