#pragma once

#include "bridge/lineowner.h"
#include "discovery.h"
#include "mqttclient.h"

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <deque>

namespace qv7::bridge {

// The owner's side of another host's panel page, on a projector's topics: its clicks and holds
// from PREFIX/NAME/panel go through the line's one queue, named by where they came from; each
// id is done once, and is answered at once ("taken") and again with its outcome on
// PREFIX/NAME/panel/reply. A hold is let go when its page's word that it is still held stops
// for a second, whatever became of the page, its host or the broker. The traffic texts go to
// PREFIX/NAME/traffic only while a host that shows them has asked on PREFIX/NAME/watch within
// the lease.
class PanelRequests : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kLease{30};
    static constexpr Milliseconds kSilence{1000};
    // Ids remembered, so that one sent again is not done again.
    static constexpr std::size_t kRemembered = 1024;
    static constexpr int kMostHolds = 16;
    static constexpr qsizetype kMostWatchers = 64;

    PanelRequests(LineOwner &line, MqttClient &mqtt, const Topics &topics, Clock &clock,
                  QObject *parent = nullptr);

    void subscribe();
    // A message on the panel or watch topic.
    void take(const QString &topic, const QByteArray &payload);

private:
    struct Hold {
        Line::HoldId id = 0;
        Milliseconds heard;
    };
    void onPanel(const QJsonObject &message);
    void watch(const QJsonObject &message);
    void reply(const QString &id, const QJsonObject &outcome);
    bool firstTime(const QString &id);
    void publishTraffic();
    void tick();

    LineOwner &line_;
    MqttClient &mqtt_;
    const Topics &topics_;
    Clock &clock_;
    LineTimer ticker_;
    QTimer traffic_;                     // one message for the texts that change together
    QHash<QString, QByteArray> answers_; // by id: the latest answer to it
    std::deque<QString> remembered_;
    QHash<QString, Hold> holds_;            // by id
    QHash<QString, Milliseconds> watchers_; // by host: when its lease ends
};

} // namespace qv7::bridge
