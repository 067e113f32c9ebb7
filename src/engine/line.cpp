#include "line.h"

#include "protocol/captions.h"
#include "protocol/commandtable.h"
#include "protocol/rendering.h"

#include <tuple>

namespace qv7 {

namespace {

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

} // namespace

QString replyLine(const Result &result)
{
    if (result.failure && result.failure->kind != FailureKind::NoReply)
        return {};
    return QString::fromLatin1(replyLine(result.reply.toStdString()));
}

Line::Line(Discipline discipline, QObject *parent, Clock &clock)
    : QObject(parent)
    , discipline_(discipline)
    , clock_(clock)
    , comm_(this)
    , timer1_(clock, this)
    , timer2_(clock, this)
    , portSettings_(QString::fromLatin1(kFastLineSettings))
    , expiry_(clock, this)
    , holdLimit_(clock, this)
{
    setObjectName(QStringLiteral("Line"));
    comm_.setObjectName(QStringLiteral("MSComm1"));
    const std::tuple<LineTimer *, const char *, int> timers[] = {
        {&timer1_, "Timer1", kRepeatMs}, {&timer2_, "Timer2", kReplyWindowMs}};
    for (const auto &[timer, name, interval] : timers) {
        timer->setObjectName(QString::fromLatin1(name));
        timer->setInterval(interval);
    }
    connect(&timer1_, &LineTimer::timeout, this, [this] { Timer1_Timer(); });
    connect(&timer2_, &LineTimer::timeout, this, [this] { Timer2_Timer(); });
    connect(&comm_, &SerialControl::OnComm, this,
            [this] { guarded([this] { MSComm1_OnComm(); }); });
    connect(&comm_, &SerialControl::deviceLost, this, &Line::reportFailure);
    connect(&comm_, &SerialControl::portOpenChanged, this, &Line::onPortOpenChanged);
    if (discipline_ != Discipline::Panel)
        connect(this, &Line::replyWindowClosed, this, &Line::onWindowClosed);
    expiry_.setSingleShot(true);
    connect(&expiry_, &LineTimer::timeout, this, &Line::dropExpired);
    holdLimit_.setSingleShot(true);
    holdLimit_.setInterval(kLongestHold);
    connect(&holdLimit_, &LineTimer::timeout, this, [this] {
        if (heldNow_ == 0 || !inFlight_)
            return;
        emit heldTooLong(inFlight_->command);
        letGo(heldNow_);
    });
    connect(&comm_, &SerialControl::connectingChanged, this, [this](bool connecting) {
        // A write that makes the connection again goes out once it is made: the reply window
        // counts from then.
        if (connecting)
            timer2_.setEnabled(false);
        else if (vars_.AwaitingReply == 1 && comm_.PortOpen())
            timer2_.setEnabled(true);
        emit connectingChanged(connecting);
    });
}

Line::~Line() = default;

template <typename Handler> bool Line::guarded(Handler handler)
{
    try {
        handler();
        return true;
    } catch (const CommError &error) {
        reportFailure(error.failure());
        return false;
    }
}

void Line::reportFailure(const Failure &failure)
{
    // The operator cannot release a hold while a report is in the way, so the failure does.
    if (const HoldCommand *held = std::exchange(pressed_, nullptr))
        releaseSteps(*held);
    // Failures of one burst arrive while the first is on its way: report that one.
    if (reportPending_)
        return;
    reportPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, failure] {
            reportPending_ = false;
            if (discipline_ == Discipline::Panel) {
                emit failed(failure);
                return;
            }
            failRequest(failure);
            if (discipline_ == Discipline::Requests) {
                emit failed(failure);
                return;
            }
            // Those told of the failure see the state from before it, and why the line is down.
            down_ = failure.description;
            emit failed(failure);
            goDown();
        },
        Qt::QueuedConnection);
}

DesignState Line::designState() const
{
    const auto timer = [](const LineTimer &t) {
        return DesignState::Timer{t.interval(), t.Enabled()};
    };
    return {vars_, timer(timer1_), timer(timer2_)};
}

bool Line::start()
{
    return guarded([this] {
        vars_.HeldButton = 0;
        vars_.AwaitingReply = 0;
        vars_.ReceivedText.clear();
        reading_.reset();
        portSettings_ = QString::fromLatin1(kFastLineSettings);
        comm_.setCommPort(1);
        comm_.setSettings(portSettings_);
        comm_.setPortOpen(true);
    });
}

bool Line::closePort()
{
    return guarded([this] { comm_.setPortOpen(false); });
}

bool Line::switchPort(short chosen)
{
    // Every step runs even when an earlier one failed; the most recent failure is the one
    // shown. A closed port is opened on the chosen port, so that the operator can recover
    // from a failed switch or a failed start-up by choosing a port that works.
    std::optional<Failure> failure;
    const auto attempt = [&failure](const auto &step) {
        try {
            step();
        } catch (const CommError &error) {
            failure = error.failure();
        }
    };
    attempt([this] { comm_.setPortOpen(false); });
    attempt([this, chosen] { comm_.setCommPort(chosen); });
    if (!failure)
        attempt([this] { comm_.setPortOpen(true); });
    if (!failure)
        return true;
    emit failed(*failure);
    try {
        comm_.setCommPort(chosen == 1 ? 2 : 1);
    } catch (const CommError &) {
        // The port number stays as it is; the failure has been reported already.
    }
    return false;
}

bool Line::chooseSpeed(std::string_view settings)
{
    return guarded([this, settings] {
        portSettings_ = QString::fromLatin1(settings);
        comm_.setSettings(portSettings_);
    });
}

bool Line::chooseSpeed(const LineSettings &settings)
{
    return guarded([this, &settings] {
        comm_.setLineSettings(settings);
        portSettings_ = comm_.Settings();
    });
}

void Line::Hyouji(const std::string &Text, std::uint8_t SendFlag)
{
    // What the traffic lines show of it is the view's: the line announces the text.
    if (SendFlag == 1) {
        comm_.setOutput(Text);
        timer2_.setEnabled(true);
        vars_.AwaitingReply = 1;
        return;
    }
    reading_ = decodeReply(vars_.CurrentCommand, Text);
}

void Line::MSComm1_OnComm()
{
    if (comm_.CommEvent() != SerialControl::comEvReceive)
        return;
    vars_.ReceivedText += comm_.Input();
    // Data that keeps coming without a transmit to close the reply window is kept to the
    // newest part that the traffic line can render.
    if (vars_.ReceivedText.size() > kMaxRenderedChars)
        vars_.ReceivedText.erase(0, vars_.ReceivedText.size() - kMaxRenderedChars);
    vars_.AwaitingReply = 0;
    Hyouji(vars_.ReceivedText, 2);
    emit received({vars_.ReceivedText, reading_});
    if (discipline_ != Discipline::Panel && timer2_.Enabled() &&
        vars_.ReceivedText.find(kCommandTerminator) != std::string::npos)
        closeReplyWindow();
}

void Line::sendCommand(std::string_view code)
{
    vars_.CurrentCommand = commandString(code);
    Hyouji(vars_.CurrentCommand, 1);
    emit transmitted(
        {std::string(code), vars_.HeldButton != 0 ? ++holdSends_ : 0, displayTimeout_});
}

bool Line::send(std::string_view code)
{
    return guarded([this, code] { sendCommand(code); });
}

bool Line::click(const OneShotCommand &command)
{
    return guarded([this, &command] {
        sendCommand(command.code);
        if (command.kind != OneShotKind::ArrowMode)
            return;
        timer1_.setInterval(command.repeatInterval);
        vars_.ArrowMode = command.arrowMode;
    });
}

void Line::press(const HoldCommand &command)
{
    hold(command, 0);
}

void Line::hold(const HoldCommand &command, int sends)
{
    pressed_ = &command;
    holdSends_ = 0;
    holdCount_ = sends;
    guarded([this, &command] {
        pressSteps(command);
        afterHoldSend();
    });
}

void Line::afterHoldSend()
{
    if (holdCount_ <= 0 || holdSends_ < holdCount_)
        return;
    releaseSteps(*std::exchange(pressed_, nullptr));
    // The last send's reply is still to come.
    timer2_.setEnabled(true);
    vars_.AwaitingReply = 1;
}

void Line::pressSteps(const HoldCommand &command)
{
    if (!command.timings) {
        // An arrow takes its reply window and display time-out from the arrow mode and
        // repeats at whatever period the repeat timer was last given.
        if (const ArrowProfile *profile = findArrowProfile(vars_.ArrowMode)) {
            timer2_.setInterval(profile->replyWindow);
            displayTimeout_ = profile->displayTimeout;
        }
        vars_.HeldButton = command.heldButton;
        sendCommand(command.code);
        timer1_.setEnabled(true);
        return;
    }
    vars_.HeldButton = command.heldButton;
    displayTimeout_ = command.timings->displayTimeout;
    sendCommand(command.code);
    timer1_.setInterval(command.timings->repeat);
    timer2_.setInterval(command.timings->replyWindow);
    timer1_.setEnabled(true);
}

void Line::release(const HoldCommand &command)
{
    // A hold that a failure ended has been released already.
    if (!std::exchange(pressed_, nullptr))
        return;
    releaseSteps(command);
}

void Line::releaseSteps(const HoldCommand &command)
{
    vars_.HeldButton = 0;
    holdCount_ = 0;
    timer1_.setEnabled(false);
    timer2_.setEnabled(false);
    timer2_.setInterval(kReplyWindowMs);
    displayTimeout_ = kDisplayTimeoutMs;
    emit released();
    vars_.ReceivedText.clear();
    reading_.reset();
    if (command.digitalZoom) {
        timer1_.setInterval(kDigitalZoomRepeatMs);
        vars_.ArrowMode = kDigitalZoomArrowMode;
    }
}

void Line::Timer1_Timer()
{
    if (vars_.HeldButton == 0)
        return;
    const HoldCommand *held = findHeldButton(vars_.HeldButton);
    // While a connection is made again the sends so far wait: more would only pile up.
    if (!held || comm_.connecting())
        return;
    // The running timer keeps its schedule, so the period does not drift by the time each
    // tick takes. A tick that cannot send ends the hold: one failure, one report.
    guarded([this, held] {
        sendCommand(held->code);
        afterHoldSend();
    });
}

void Line::Timer2_Timer()
{
    if (vars_.AwaitingReply == 1)
        emit unanswered();
    closeReplyWindow();
}

void Line::closeReplyWindow()
{
    timer2_.setEnabled(false);
    ReplyWindow window{std::exchange(vars_.ReceivedText, {}), std::exchange(reading_, std::nullopt),
                       holding()};
    vars_.AwaitingReply = 0;
    // A reply that went missing, or a query's that reads as nothing, may have been read (whole
    // or in part) by a program that holds the device without a lock. Then the failure, not
    // the window, ends what waited for the reply.
    const bool answered = !window.reply.empty() &&
                          (window.reading || replySubject(vars_.CurrentCommand) == Subject::None);
    if (answered)
        sharingChecked_ = false;
    else if (!std::exchange(sharingChecked_, true) && !guarded([this] { comm_.refuseIfShared(); }))
        return;
    emit replyWindowClosed(window);
}

void Line::onPortOpenChanged(bool open)
{
    if (open)
        sharingChecked_ = false;
    emit portOpenChanged(open);
    if (!open || !std::exchange(opening_, false))
        return;
    ready_ = true;
    down_.clear();
    emit opened();
}

bool Line::open(const Target &target)
{
    setDevice(1, target.device);
    setPortName(target.name.isEmpty() ? target.device : target.name);
    setConnectTimeout(target.connectTimeoutMs);
    // Ready only once the speed is set as well.
    opening_ = false;
    if (!start())
        return false;
    if (target.settings != *parseLineSettings(kFastLineSettings) && !chooseSpeed(target.settings))
        return false;
    opening_ = true;
    if (isOpen())
        onPortOpenChanged(true);
    return true;
}

void Line::close()
{
    opening_ = false;
    if (inFlight_ && inFlight_->command.hold && holding())
        release(*inFlight_->command.hold);
    inFlight_.reset();
    ready_ = false;
    closePort();
}

bool Line::request(const Command &command)
{
    if (!ready_ || inFlight_)
        return false;
    ++serial_;
    inFlight_ = Result{};
    inFlight_->command = command;
    inFlight_->query = isQuery(command);
    holdReply_ = {};
    // A failure to send completes the request through failRequest.
    if (command.hold)
        hold(*command.hold, command.count);
    else if (command.click)
        click(*command.click);
    else
        send(command.code);
    return true;
}

void Line::onWindowClosed(const ReplyWindow &window)
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

void Line::completeLater(const ReplyWindow &window)
{
    // Completes once the line has finished with the event that closed the window, and only
    // the request that window belongs to.
    QMetaObject::invokeMethod(
        this,
        [this, window, serial = serial_] {
            if (inFlight_ && serial == serial_)
                complete(window);
        },
        Qt::QueuedConnection);
}

void Line::complete(const ReplyWindow &window)
{
    Result result = *std::exchange(inFlight_, std::nullopt);
    result.reply = QByteArray::fromStdString(window.reply);
    result.reading = window.reading;
    if (window.reply.empty())
        result.failure = Failure{FailureKind::NoReply, QStringLiteral("no reply to %1 within %2 ms")
                                                           .arg(latin1(result.command.code))
                                                           .arg(kReplyWindowMs)};
    if (discipline_ == Discipline::Shared)
        settle(result);
    else
        emit done(result);
}

void Line::failRequest(const Failure &failure)
{
    // A hold that the failure ended has been released already.
    ready_ = false;
    opening_ = false;
    closePort();
    if (!inFlight_)
        return;
    Result result = *std::exchange(inFlight_, std::nullopt);
    result.failure = failure;
    if (discipline_ == Discipline::Shared)
        settle(result);
    else
        emit done(result);
}

} // namespace qv7
