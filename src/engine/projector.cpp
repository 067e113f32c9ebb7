#include "projector.h"

#include "protocol/captions.h"
#include "protocol/rendering.h"

namespace qv7 {

namespace {

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

Projector::Projector(QObject *parent, Clock &clock)
    : QObject(parent)
    , engine_(this, clock)
{
    engine_.setReplyEndsWindow(true);
    connect(&engine_, &Engine::replyWindowClosed, this, &Projector::onWindowClosed);
    connect(&engine_, &Engine::failed, this, &Projector::onFailed);
    connect(&engine_, &Engine::portOpenChanged, this, &Projector::onPortOpenChanged);
    for (const auto signal : {&Engine::txdChanged, &Engine::rxdChanged, &Engine::statusChanged})
        connect(&engine_, signal, this, &Projector::trafficChanged);
}

bool Projector::open(const Target &target)
{
    engine_.setDevice(1, target.device);
    engine_.setPortName(target.name.isEmpty() ? target.device : target.name);
    engine_.setConnectTimeout(target.connectTimeoutMs);
    // Opened only once the speed is set as well.
    opening_ = false;
    if (!engine_.start())
        return false;
    if (target.settings != *parseLineSettings(kFastLineSettings) &&
        !engine_.chooseSpeed(target.settings))
        return false;
    opening_ = true;
    if (engine_.isOpen())
        onPortOpenChanged(true);
    return true;
}

void Projector::onPortOpenChanged(bool open)
{
    if (!open || !std::exchange(opening_, false))
        return;
    open_ = true;
    emit opened();
}

void Projector::close()
{
    opening_ = false;
    if (inFlight_ && inFlight_->command.hold && engine_.holding())
        engine_.release(*inFlight_->command.hold);
    inFlight_.reset();
    open_ = false;
    engine_.closePort();
}

bool Projector::request(const Command &command)
{
    if (!open_ || inFlight_)
        return false;
    ++serial_;
    inFlight_ = Result{};
    inFlight_->command = command;
    inFlight_->query = replySubject(commandString(command.code)) != Subject::None;
    holdReply_ = {};
    // A failure to send completes the command through onFailed.
    if (command.hold)
        engine_.hold(*command.hold, command.count);
    else if (command.click)
        engine_.click(*command.click);
    else
        engine_.send(command.code);
    return true;
}

void Projector::release()
{
    if (!inFlight_ || !inFlight_->command.hold || inFlight_->command.count != 0)
        return;
    // The panel's release closes the reply window; a hold that a failure ended has completed
    // already.
    engine_.release(*inFlight_->command.hold);
    completeLater(holdReply_);
}

void Projector::onWindowClosed(const ReplyWindow &window)
{
    if (!inFlight_)
        return;
    if (window.holding) {
        if (!window.reply.empty())
            holdReply_ = window;
        return;
    }
    completeLater(window);
}

void Projector::completeLater(const ReplyWindow &window)
{
    // Completes once the engine has finished with the event that closed the window, and only
    // the command that window belongs to.
    QMetaObject::invokeMethod(
        this,
        [this, window, serial = serial_] {
            if (inFlight_ && serial == serial_)
                complete(window);
        },
        Qt::QueuedConnection);
}

void Projector::complete(const ReplyWindow &window)
{
    Result result = *std::exchange(inFlight_, std::nullopt);
    result.reply = QByteArray::fromStdString(window.reply);
    result.reading = window.reading;
    if (window.reply.empty()) {
        result.rendering = QString::fromUtf8(kNoReplyCaption.text);
        result.failure = Failure{FailureKind::NoReply, QStringLiteral("no reply to %1 within %2 ms")
                                                           .arg(latin1(result.command.code))
                                                           .arg(kReplyWindowMs)};
    } else {
        result.rendering = QString::fromLatin1(renderTraffic(window.reply));
    }
    emit done(result);
}

void Projector::onFailed(const Failure &failure)
{
    // The engine has released a hold that the failure ended.
    open_ = false;
    opening_ = false;
    engine_.closePort();
    if (inFlight_) {
        Result result = *std::exchange(inFlight_, std::nullopt);
        result.failure = failure;
        emit done(result);
    }
    emit failed(failure);
}

} // namespace qv7
