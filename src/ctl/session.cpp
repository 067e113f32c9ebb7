#include "session.h"

#include "exitcodes.h"

#include <algorithm>

namespace qv7::ctl {

namespace {

constexpr int kPollIntervalMs = 1000;

Outcome outcomeOf(const Step &step)
{
    Outcome outcome;
    outcome.words = step.words;
    outcome.code = stepCode(step);
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

Session::Session(ScriptTarget target, std::vector<Step> steps, QObject *parent)
    : QObject(parent)
    , target_(std::move(target))
    , steps_(std::move(steps))
    , line_(Line::Discipline::Requests, this)
{
    pollTimer_.setSingleShot(true);
    pollTimer_.setTimerType(Qt::PreciseTimer);
    connect(&pollTimer_, &QTimer::timeout, this, &Session::poll);
    connect(&line_, &Line::opened, this, &Session::next);
    connect(&line_, &Line::done, this, &Session::onDone);
    connect(&line_, &Line::failed, this, [this](const Failure &failure) {
        fail(failureExitCode(failure.kind), failure.description);
    });
}

void Session::start()
{
    outcome_ = outcomeOf(steps_.front());
    // The first command goes out once the line is open; a failure to open or set it is
    // reported from the event loop.
    line_.open(target_.line);
}

void Session::next()
{
    if (current_ == steps_.size()) {
        finish(EX_OK);
        return;
    }
    const Step &step = steps_[current_];
    outcome_ = outcomeOf(step);
    if (const auto *command = std::get_if<Command>(&step.action)) {
        line_.request(*command);
        return;
    }
    waited_.start();
    waitDeadline_.setRemainingTime(std::get<WaitFor>(step.action).timeout);
    poll();
}

void Session::onDone(const Result &result)
{
    if (finished_)
        return;
    outcome_.reply = result.reply;
    outcome_.rendering = replyLine(result);
    outcome_.reading = result.reading;
    if (result.failure && result.failure->kind != FailureKind::NoReply) {
        fail(failureExitCode(result.failure->kind), result.failure->description);
        return;
    }
    if (const auto *wait = std::get_if<WaitFor>(&steps_[current_].action))
        pollDone(*wait, result);
    else
        stepDone(result);
}

void Session::stepDone(const Result &result)
{
    if (result.failure) {
        const bool onlyWhenOn =
            result.failure->kind == FailureKind::NoReply && !takenInAnyState(result.command);
        fail(failureExitCode(result.failure->kind),
             QStringLiteral("%1: %2%3")
                 .arg(target_.port, result.failure->description,
                      onlyWhenOn ? QStringLiteral("; the projector takes this only when it is on "
                                                  "(is it in standby? qv7ctl status)")
                                 : QString()));
        return;
    }
    if (result.query && !result.reading) {
        // Bytes above ASCII are what a line at the wrong speed makes of the projector's reply.
        const bool garbled =
            std::ranges::any_of(result.reply, [](char c) { return (c & 0x80) != 0; });
        const int otherSpeed = target_.line.settings.baudRate == 9600 ? 19200 : 9600;
        fail(EX_DATAERR,
             QStringLiteral("%1: the reply to %2 decodes to nothing:%3%4")
                 .arg(target_.port, outcome_.code, outcome_.rendering,
                      garbled
                          ? QStringLiteral("; is the projector at another speed? try --speed %1")
                                .arg(otherSpeed)
                          : QString()));
        return;
    }
    emit commandDone(outcome_);
    ++current_;
    next();
}

void Session::poll()
{
    sincePoll_.start();
    line_.request(statusQuery());
}

void Session::pollDone(const WaitFor &wait, const Result &result)
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
                                 .arg(target_.port, wanted, seconds,
                                      QString::fromLatin1(statusText(*outcome_.reading))));
        return;
    }
    const qint64 remaining = waitDeadline_.remainingTime();
    if (remaining == 0) {
        const QString state = power            ? QStringLiteral("still ") + *power
                              : result.failure ? QStringLiteral("no reply")
                                               : QStringLiteral("no power state");
        fail(EX_UNAVAILABLE, QStringLiteral("%1: gave up waiting for %2 after %3 s: %4")
                                 .arg(target_.port, wanted, seconds, state));
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
    pollTimer_.stop();
    line_.close();
    emit finished(exitCode);
}

} // namespace qv7::ctl
