#include "projector.h"

#include "protocol/captions.h"

namespace qv7 {

namespace {

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

Projector::Projector(QObject *parent)
    : QObject(parent)
    , engine_(this)
{
    // The same length as the engine's own reply window; this one also ends a reply that came
    // without its carriage return, which the engine shows without a mark.
    window_.setSingleShot(true);
    window_.setTimerType(Qt::PreciseTimer);
    window_.setInterval(kReplyWindowMs);
    connect(&window_, &QTimer::timeout, this, &Projector::complete);
    connect(&engine_, &Engine::txdChanged, this, &Projector::onTxd);
    connect(&engine_, &Engine::rxdChanged, this, &Projector::onRxd);
    connect(&engine_, &Engine::failed, this, &Projector::onFailed);
}

bool Projector::open(const Target &target)
{
    engine_.setDevice(1, target.device);
    engine_.setPortName(target.name.isEmpty() ? target.device : target.name);
    engine_.setConnectTimeout(target.connectTimeoutMs);
    if (!engine_.start())
        return false;
    const std::string settings = formatLineSettings(target.settings);
    if (settings != kFastLineSettings && !engine_.chooseSpeed(settings))
        return false;
    open_ = true;
    next();
    return true;
}

void Projector::close()
{
    if (const HoldCommand *held = std::exchange(held_, nullptr))
        engine_.release(*held);
    expecting_ = false;
    window_.stop();
    inFlight_.reset();
    open_ = false;
    engine_.closePort();
}

void Projector::request(const Command &command)
{
    queue_.push_back(command);
    next();
}

void Projector::next()
{
    if (!open_ || inFlight_ || queue_.empty())
        return;
    const Command command = queue_.front();
    queue_.pop_front();
    inFlight_ = Result{};
    inFlight_->command = command;
    inFlight_->query = replySubject(commandString(command.code)) != Subject::None;
    if (command.hold) {
        held_ = command.hold;
        sendsLeft_ = command.count;
        pressing_ = true;
        engine_.press(*command.hold);
        pressing_ = false;
        if (held_ && sendsLeft_ <= 0)
            releaseHold();
        return;
    }
    expectReply();
    if (command.click)
        engine_.click(*command.click);
    else
        engine_.send(command.code);
}

void Projector::expectReply()
{
    inFlight_->reply.clear();
    inFlight_->rendering.clear();
    expecting_ = true;
    completing_ = false;
    window_.start();
}

void Projector::onTxd(const QString &text)
{
    // Each send of a hold shows on the TXD line; the last one lets the button go at once, so
    // that the repeat timer sends no more than the count.
    if (!held_ || text.isEmpty() || --sendsLeft_ > 0 || pressing_)
        return;
    releaseHold();
}

void Projector::releaseHold()
{
    // The release empties ReceivedText, so the last send's reply arrives on an empty one.
    engine_.release(*std::exchange(held_, nullptr));
    expectReply();
}

void Projector::onRxd(const QString &text)
{
    // The engine's own window may close first and show its no-reply mark: that is no reply.
    if (!expecting_ || text.isEmpty() || engine_.ReceivedText().empty())
        return;
    inFlight_->reply = QByteArray::fromStdString(engine_.ReceivedText());
    inFlight_->rendering = text;
    if (completing_ || !inFlight_->reply.contains(kCommandTerminator))
        return;
    // Ends once the engine has finished with this reception.
    completing_ = true;
    QMetaObject::invokeMethod(this, &Projector::complete, Qt::QueuedConnection);
}

void Projector::complete()
{
    if (!expecting_ || !inFlight_)
        return;
    expecting_ = false;
    window_.stop();
    // Closes the engine's reply window at once, so that the next reply starts afresh.
    engine_.Timer2_Timer();
    Result result = *inFlight_;
    if (result.reply.isEmpty()) {
        result.rendering = QString::fromUtf8(kNoReplyCaption.text);
        result.failure = Failure{FailureKind::NoReply, QStringLiteral("no reply to %1 within %2 ms")
                                                           .arg(latin1(result.command.code))
                                                           .arg(kReplyWindowMs)};
    } else {
        result.reading = decodeReply(engine_.CurrentCommand(), result.rendering.toStdString());
    }
    finish(std::move(result));
}

void Projector::finish(Result result)
{
    inFlight_.reset();
    emit done(result);
    next();
}

void Projector::onFailed(const Failure &failure)
{
    // The engine has released a hold that the failure ended.
    held_ = nullptr;
    expecting_ = false;
    window_.stop();
    open_ = false;
    engine_.closePort();
    if (inFlight_) {
        Result result = *std::exchange(inFlight_, std::nullopt);
        result.failure = failure;
        emit done(result);
    }
    emit failed(failure);
}

} // namespace qv7
