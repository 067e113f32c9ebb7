#include "panelline.h"

#include "protocol/commandtable.h"
#include "protocol/decoding.h"

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

template <typename Value> std::optional<QString> words(const std::optional<Value> &value)
{
    if (!value)
        return std::nullopt;
    const std::string_view text = word(*value);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

Completion completion(const PanelLine::Done &done)
{
    return [done](const Result &, const QString &notSent) { done(notSent); };
}

} // namespace

void switchPower(LineOwner &owner, bool on, const Asker &asker, const PanelLine::Done &done)
{
    const Command command = commandFor(on ? kPowerOn : kPowerOff);
    const Line &line = owner.line();
    switch (line.verdict(command)) {
    case Verdict::Already:
        return done(line.state().power == PowerState::Cooling
                        ? QStringLiteral("already off: it is cooling down")
                        : QStringLiteral("already %1").arg(on ? u"on" : u"off"));
    case Verdict::NotNow:
        return done(QStringLiteral("not sent: it is cooling down; it can be switched on once it "
                                   "is in standby"));
    case Verdict::Failed:
        return done(QStringLiteral("not sent: %1")
                        .arg(line.isUp() ? QStringLiteral("the projector reports a fault")
                                         : line.downReason()));
    case Verdict::Now:
    case Verdict::Waits:
        break;
    }
    owner.line().submit(
        {command},
        [done](const Result &, const QString &notSent) {
            done(notSent.isEmpty() ? QString() : QStringLiteral("not sent: ") + notSent);
        },
        0s, asker);
}

OwnPanelLine::OwnPanelLine(LineOwner &owner, QObject *parent)
    : PanelLine(parent)
    , owner_(owner)
{
    connect(&owner_.line(), &Line::stateChanged, this, &PanelLine::stateChanged);
    connect(&owner_, &LineOwner::claimed, this, &PanelLine::stateChanged);
    connect(&owner_, &LineOwner::downReasonChanged, this, &PanelLine::stateChanged);
    connect(&owner_, &LineOwner::trafficChanged, this, &PanelLine::trafficChanged);
}

PanelLine::Snapshot OwnPanelLine::snapshot() const
{
    Snapshot snapshot;
    snapshot.reason = owner_.line().downReason();
    // A line that another program holds is not this daemon's to report on.
    if (!owner_.isClaimed()) {
        snapshot.link = QStringLiteral("down");
        return snapshot;
    }
    const LineState &state = owner_.line().state();
    snapshot.link = *words(std::optional(state.link));
    snapshot.power = words(state.power);
    snapshot.input = words(state.input);
    snapshot.lampHours = state.lampHours;
    return snapshot;
}

void OwnPanelLine::click(const OneShotCommand &button, const Asker &asker, const Done &done)
{
    owner_.line().submit({commandFor(button)}, completion(done), 0s, asker);
}

PanelLine::HoldId OwnPanelLine::press(const HoldCommand &button, const Asker &asker,
                                      const Done &done)
{
    return owner_.line().holdDown(button, completion(done), asker);
}

} // namespace qv7::bridge
