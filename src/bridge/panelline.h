#pragma once

#include "engine/line.h"
#include "lineowner.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace qv7::bridge {

// What a projector's panel page drives: a line of this daemon's, or another host's through
// the broker. The page shows its state and traffic texts and sends its buttons; each command
// ends once, with nothing or with why it was not sent.
class PanelLine : public QObject {
    Q_OBJECT

public:
    struct Snapshot {
        QString link;   // "up", "silent", "down", or what is known of another host's line
        QString reason; // why the line is down; empty while it is up
        std::optional<QString> power;
        std::optional<QString> input;
        std::optional<int> lampHours;
    };
    using Done = std::function<void(const QString &notSent)>;
    using HoldId = quint64;

    using QObject::QObject;

    virtual QString name() const = 0;
    virtual Snapshot snapshot() const = 0;
    virtual QString txd() const = 0;
    virtual QString rxd() const = 0;
    virtual QString status() const = 0;

    virtual void click(const OneShotCommand &button, const Asker &asker, const Done &done) = 0;
    // A hold kept down until letGo(); the page says it is still held with alive().
    virtual HoldId press(const HoldCommand &button, const Asker &asker, const Done &done) = 0;
    virtual void alive(HoldId) {}
    virtual void letGo(HoldId hold) = 0;
    // On or off as a person who sees its state would switch it: done with nothing once sent,
    // or with what stood in the way ("already on", "not sent: it is cooling down …").
    virtual void power(bool on, const Asker &asker, const Done &done) = 0;

signals:
    void stateChanged();
    void trafficChanged();
};

// Switches one of this daemon's projectors on or off, as PanelLine::power says.
void switchPower(LineOwner &owner, bool on, const Asker &asker, const PanelLine::Done &done);

// A line of this daemon's.
class OwnPanelLine : public PanelLine {
    Q_OBJECT

public:
    explicit OwnPanelLine(LineOwner &owner, QObject *parent = nullptr);

    QString name() const override { return owner_.entry().name; }
    Snapshot snapshot() const override;
    QString txd() const override { return owner_.traffic().txd(); }
    QString rxd() const override { return owner_.traffic().rxd(); }
    QString status() const override { return owner_.traffic().status(); }
    void click(const OneShotCommand &button, const Asker &asker, const Done &done) override;
    HoldId press(const HoldCommand &button, const Asker &asker, const Done &done) override;
    void letGo(HoldId hold) override { owner_.line().letGo(hold); }
    void power(bool on, const Asker &asker, const Done &done) override
    {
        switchPower(owner_, on, asker, done);
    }

private:
    LineOwner &owner_;
};

} // namespace qv7::bridge
