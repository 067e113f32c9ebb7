#include "session.h"

#include "exitcodes.h"
#include "protocol/captions.h"
#include "protocol/commandtable.h"

namespace qv7::ctl {

namespace {

constexpr int kPollIntervalMs = 1000;

template <typename... Handlers> struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

Outcome outcomeOf(const Step &step)
{
    Outcome outcome;
    outcome.words = step.words;
    outcome.code = QString::fromLatin1(stepCode(step));
    return outcome;
}

} // namespace

std::optional<QString> powerWord(const Outcome &outcome)
{
    const PowerState *state =
        outcome.reading ? std::get_if<PowerState>(&*outcome.reading) : nullptr;
    if (!state)
        return std::nullopt;
    const std::string_view text = word(*state);
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

Session::Session(Target target, std::vector<Step> steps, QObject *parent)
    : QObject(parent)
    , target_(std::move(target))
    , steps_(std::move(steps))
    , engine_(this)
    , watch_(engine_)
{
    pollTimer_.setSingleShot(true);
    pollTimer_.setTimerType(Qt::PreciseTimer);
    connect(&watch_, &ReplyWatch::complete, this, &Session::completeExchange);
    connect(&pollTimer_, &QTimer::timeout, this, &Session::poll);
    connect(&engine_, &Engine::txdChanged, this, &Session::onTxd);
    connect(&engine_, &Engine::failed, this, [this](const Failure &failure) {
        fail(failureExitCode(failure.kind), failure.description);
    });
}

QString Session::label() const
{
    return target_.port;
}

void Session::start()
{
    engine_.MSComm1().setDevice(1, target_.port);
    engine_.MSComm1().setConnectTimeout(target_.connectTimeoutMs);
    outcome_ = outcomeOf(steps_.front());
    // A failure to open or set the line is reported from the event loop.
    if (!engine_.start())
        return;
    if (target_.settings != QLatin1StringView(kFastLineSettings.data(), kFastLineSettings.size()) &&
        !engine_.chooseSpeed(target_.settings.toStdString()))
        return;
    next();
}

void Session::next()
{
    if (current_ == steps_.size()) {
        finish(EX_OK);
        return;
    }
    const Step &step = steps_[current_];
    outcome_ = outcomeOf(step);
    std::visit(Overloaded{
                   [this](const Click &click) {
                       beginExchange();
                       engine_.click(*click.row);
                   },
                   [this](const Raw &raw) {
                       beginExchange();
                       engine_.send(raw.code);
                   },
                   [this](const Hold &hold) {
                       held_ = hold.row;
                       sendsLeft_ = hold.count;
                       pressing_ = true;
                       engine_.press(*hold.row);
                       pressing_ = false;
                       if (held_ && sendsLeft_ <= 0)
                           releaseHold();
                   },
                   [this](const WaitFor &wait) {
                       waited_.start();
                       waitDeadline_.setRemainingTime(wait.timeout);
                       poll();
                   },
               },
               step.action);
}

void Session::beginExchange()
{
    outcome_.reply.clear();
    outcome_.rendering.clear();
    watch_.expect();
}

void Session::onTxd(const QString &text)
{
    // Each send of a hold shows on the TXD line; the last one lets the button go at once, so
    // that the repeat timer sends no more than the count.
    if (!held_ || text.isEmpty() || --sendsLeft_ > 0 || pressing_)
        return;
    releaseHold();
}

void Session::releaseHold()
{
    // The release empties ReceivedText, so the last send's reply arrives on an empty one.
    engine_.release(*std::exchange(held_, nullptr));
    beginExchange();
}

void Session::completeExchange(const Reply &reply)
{
    if (finished_)
        return;
    query_ = reply.query;
    outcome_.reply = reply.bytes;
    outcome_.rendering = reply.rendering;
    outcome_.reading = reply.reading;
    if (const auto *wait = std::get_if<WaitFor>(&steps_[current_].action))
        pollDone(*wait);
    else
        stepDone();
}

void Session::stepDone()
{
    if (outcome_.reply.isEmpty()) {
        fail(EX_UNAVAILABLE, QStringLiteral("%1: no reply to %2 within %3 ms")
                                 .arg(label(), outcome_.code)
                                 .arg(kReplyWindowMs));
        return;
    }
    if (query_ && !outcome_.reading) {
        fail(EX_DATAERR, QStringLiteral("%1: the reply to %2 decodes to nothing:%3")
                             .arg(label(), outcome_.code, outcome_.rendering));
        return;
    }
    emit commandDone(outcome_);
    ++current_;
    next();
}

void Session::poll()
{
    sincePoll_.start();
    beginExchange();
    engine_.click(statusQuery());
}

void Session::pollDone(const WaitFor &wait)
{
    const QString wanted = QString::fromLatin1(wait.word.data(), wait.word.size());
    const std::optional<QString> power = powerWord(outcome_);
    if (power == wanted) {
        emit commandDone(outcome_);
        ++current_;
        next();
        return;
    }
    const QString seconds = QString::number(waited_.elapsed() / 1000.0, 'f', 1);
    if (power == QLatin1StringView("fault")) {
        fail(EX_UNAVAILABLE, QStringLiteral("%1: gave up waiting for %2 after %3 s: the "
                                            "projector reports%4")
                                 .arg(label(), wanted, seconds,
                                      QString::fromLatin1(statusText(*outcome_.reading))));
        return;
    }
    const qint64 remaining = waitDeadline_.remainingTime();
    if (remaining == 0) {
        const QString state = power                      ? QStringLiteral("still ") + *power
                              : outcome_.reply.isEmpty() ? QStringLiteral("no reply")
                                                         : QStringLiteral("no power state");
        fail(EX_UNAVAILABLE, QStringLiteral("%1: gave up waiting for %2 after %3 s: %4")
                                 .arg(label(), wanted, seconds, state));
        return;
    }
    // Once a second, and a last look when the time is up.
    pollTimer_.start(std::clamp<qint64>(kPollIntervalMs - sincePoll_.elapsed(), 0, remaining));
}

void Session::fail(int exitCode, const QString &error)
{
    if (finished_)
        return;
    outcome_.exitCode = exitCode;
    outcome_.error = error;
    emit commandDone(outcome_);
    finish(exitCode);
}

void Session::finish(int exitCode)
{
    finished_ = true;
    watch_.cancel();
    pollTimer_.stop();
    if (const HoldCommand *held = std::exchange(held_, nullptr))
        engine_.release(*held);
    engine_.closePort();
    emit finished(exitCode);
}

} // namespace qv7::ctl
