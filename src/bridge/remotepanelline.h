#pragma once

#include "engine/clock.h"
#include "panelline.h"
#include "venue.h"

#include <QHash>
#include <QJsonObject>

namespace qv7::bridge {

// Another host's projector as a page of this daemon drives it through the broker: its state
// and traffic texts as its owner publishes them, and the page's buttons as commands to the
// owner (command()), each with an id of its own. A click is sent again every 2 s until its
// owner says it has taken it, and the owner does each id once, so that a broker that restarts
// or a connection made again neither loses it nor doubles it; one not taken within 10 s is
// reported not sent. A hold is the owner's to keep: it lets go when the page's word that it is
// still held (alive) stops for a second.
class RemotePanelLine : public PanelLine {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds kAnswerWait{10};
    static constexpr std::chrono::seconds kResend{2};
    // How long a command taken may wait in its owner's queue for its outcome.
    static constexpr std::chrono::seconds kLongestQueued{60};

    RemotePanelLine(const QString &name, Venue &venue, Clock &clock = Clock::steady(),
                    QObject *parent = nullptr);

    QString name() const override { return name_; }
    Snapshot snapshot() const override;
    QString txd() const override { return txd_; }
    QString rxd() const override { return rxd_; }
    QString status() const override { return status_; }
    void click(const OneShotCommand &button, const Asker &asker, const Done &done) override;
    HoldId press(const HoldCommand &button, const Asker &asker, const Done &done) override;
    void alive(HoldId hold) override;
    void letGo(HoldId hold) override;
    void power(bool on, const Asker &asker, const Done &done) override;

    // From the broker: a leaf of the projector's topics ("power", "traffic", "panel/reply").
    void take(const QString &leaf, const QByteArray &payload);

signals:
    // A message for the owner's panel topic.
    void command(const QJsonObject &message);

private:
    struct Waiting {
        QJsonObject message; // sent again until answered; empty for a hold
        Done done;
        Milliseconds deadline;
        Milliseconds resend;
    };
    // Sent until its owner has taken it.
    void send(const QJsonObject &message, const Done &done);
    QString nextId();
    // Where a command came from, as its owner's log names it.
    QString origin(const Asker &asker) const;
    void answered(const QJsonObject &reply);
    void tick();

    QString name_;
    Venue &venue_;
    Clock &clock_;
    LineTimer ticker_;
    QString idPrefix_;
    quint64 lastId_ = 0;
    QHash<QString, Waiting> waiting_; // by id
    QHash<HoldId, QString> holds_;    // the ids of the holds still down
    Venue::Projector state_;
    QString txd_;
    QString rxd_;
    QString status_;
};

} // namespace qv7::bridge
