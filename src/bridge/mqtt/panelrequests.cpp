#include "panelrequests.h"

#include "bridge/panelline.h"
#include "protocol/commandtable.h"

#include <QJsonDocument>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr Milliseconds kTick{250};
// A page's message is a few words; more is no page's.
constexpr qsizetype kLongestMessage = 1024;
constexpr qsizetype kLongestOrigin = 160;

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace

PanelRequests::PanelRequests(LineOwner &line, MqttClient &mqtt, const Topics &topics, Clock &clock,
                             QObject *parent)
    : QObject(parent)
    , line_(line)
    , mqtt_(mqtt)
    , topics_(topics)
    , clock_(clock)
    , ticker_(clock, this)
{
    ticker_.setInterval(kTick);
    connect(&ticker_, &LineTimer::timeout, this, &PanelRequests::tick);
    traffic_.setSingleShot(true);
    connect(&traffic_, &QTimer::timeout, this, &PanelRequests::publishTraffic);
    connect(&line_, &LineOwner::trafficChanged, this, [this] {
        if (!watchers_.isEmpty())
            traffic_.start(0);
    });
}

void PanelRequests::subscribe()
{
    mqtt_.subscribe(topics_(u"panel"));
    mqtt_.subscribe(topics_(u"watch"));
}

void PanelRequests::take(const QString &topic, const QByteArray &payload)
{
    const QJsonObject message = payload.size() <= kLongestMessage
                                    ? QJsonDocument::fromJson(payload).object()
                                    : QJsonObject();
    if (message.value(QStringLiteral("id")).toString().isEmpty() &&
        message.value(QStringLiteral("by")).toString().isEmpty()) {
        line_.log(Priority::Notice, QStringLiteral("%1: %2 bytes that are no page's message; "
                                                   "not taken")
                                        .arg(topic)
                                        .arg(payload.size()));
        return;
    }
    if (topic == topics_(u"watch"))
        watch(message);
    else
        onPanel(message);
}

void PanelRequests::watch(const QJsonObject &message)
{
    const QString host = message.value(QStringLiteral("by")).toString().left(kLongestOrigin);
    // A flood of made-up hosts is not remembered without bound.
    if (host.isEmpty() || (!watchers_.contains(host) && watchers_.size() >= kMostWatchers))
        return;
    const bool first = watchers_.isEmpty();
    watchers_.insert(host, clock_.now() + kLease);
    ticker_.start();
    // A new page sees the texts as they are.
    if (first || !traffic_.isActive())
        traffic_.start(0);
}

bool PanelRequests::firstTime(const QString &id)
{
    if (answers_.contains(id)) {
        // Sent again: the latest word on it again.
        if (const QByteArray answer = answers_.value(id); !answer.isEmpty())
            mqtt_.publish(topics_(u"panel/reply"), answer, false);
        return false;
    }
    answers_.insert(id, {});
    remembered_.push_back(id);
    if (remembered_.size() > kRemembered) {
        answers_.remove(remembered_.front());
        remembered_.pop_front();
    }
    return true;
}

void PanelRequests::reply(const QString &id, const QJsonObject &outcome)
{
    QJsonObject answer = outcome;
    answer.insert(QStringLiteral("id"), id);
    const QByteArray payload = json(answer);
    // The latest word on it, for the same id sent again.
    if (const auto it = answers_.find(id); it != answers_.end())
        *it = payload;
    mqtt_.publish(topics_(u"panel/reply"), payload, false);
}

void PanelRequests::onPanel(const QJsonObject &message)
{
    const QString id = message.value(QStringLiteral("id")).toString().left(kLongestOrigin);
    if (const auto hold = holds_.find(id); hold != holds_.end()) {
        if (message.value(QStringLiteral("release")).toBool()) {
            line_.line().letGo(hold->id);
            holds_.erase(hold);
        } else {
            hold->heard = clock_.now();
        }
        return;
    }
    const QString click = message.value(QStringLiteral("click")).toString();
    const QString press = message.value(QStringLiteral("press")).toString();
    const QString power = message.value(QStringLiteral("power")).toString();
    if ((click.isEmpty() && press.isEmpty() && power.isEmpty()) || !firstTime(id))
        return;
    const Asker asker{nullptr,
                      message.value(QStringLiteral("from")).toString().left(kLongestOrigin) +
                          QStringLiteral(" through the broker")};
    const auto done = [self = QPointer(this), id](const Result &, const QString &notSent) {
        if (self)
            self->reply(id, notSent.isEmpty() ? QJsonObject()
                                              : QJsonObject{{QStringLiteral("notSent"), notSent}});
    };
    reply(id, {{QStringLiteral("taken"), true}});
    if (power == u"on" || power == u"off") {
        switchPower(line_, power == u"on", asker, [self = QPointer(this), id](const QString &why) {
            if (self)
                self->reply(id, why.isEmpty() ? QJsonObject()
                                              : QJsonObject{{QStringLiteral("notSent"), why}});
        });
        return;
    }
    if (const OneShotCommand *button = findOneShot(click.toStdString())) {
        line_.line().submit({commandFor(*button)}, done, 0s, asker);
        return;
    }
    const HoldCommand *button = findHold(press.toStdString());
    if (!button) {
        reply(id, {{QStringLiteral("notSent"),
                    QStringLiteral("\"%1\" is no button of the panel").arg(click + press)}});
        return;
    }
    if (holds_.size() >= kMostHolds) {
        reply(id,
              {{QStringLiteral("notSent"),
                QStringLiteral("%1 holds are down on this projector already").arg(kMostHolds)}});
        return;
    }
    const Line::HoldId hold = line_.line().holdDown(*button, done, asker);
    if (hold != 0) {
        holds_.insert(id, {hold, clock_.now()});
        ticker_.start();
    }
}

void PanelRequests::publishTraffic()
{
    const TrafficView &texts = line_.traffic();
    mqtt_.publish(topics_(u"traffic"),
                  json({{QStringLiteral("txd"), texts.txd()},
                        {QStringLiteral("rxd"), texts.rxd()},
                        {QStringLiteral("status"), texts.status()}}),
                  false);
}

void PanelRequests::tick()
{
    const Milliseconds now = clock_.now();
    for (auto it = holds_.begin(); it != holds_.end();) {
        if (now - it->heard < kSilence) {
            ++it;
            continue;
        }
        line_.log(Priority::Notice,
                  QStringLiteral("a hold from another host let go: its page fell silent"));
        line_.line().letGo(it->id);
        it = holds_.erase(it);
    }
    watchers_.removeIf([now](const auto &watcher) { return watcher.value() <= now; });
    if (holds_.isEmpty() && watchers_.isEmpty())
        ticker_.stop();
}

} // namespace qv7::bridge
