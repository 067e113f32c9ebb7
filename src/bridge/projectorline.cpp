#include "projectorline.h"

#include "protocol/captions.h"
#include "protocol/commandtable.h"

#include <algorithm>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr auto kFirstReopen = 5s;
constexpr auto kLongestReopen = 60s;

} // namespace

ProjectorLine::ProjectorLine(InventoryEntry projector, int connectTimeoutMs, QObject *parent)
    : QObject(parent)
    , projector_(std::move(projector))
    , engine_(this)
    , backOff_(kFirstReopen)
{
    engine_.MSComm1().setDevice(1, projector_.port);
    engine_.MSComm1().setConnectTimeout(connectTimeoutMs);
    // The engine closes its window at the same length; this one also ends a reply that came
    // without its carriage return.
    replyWindow_.setSingleShot(true);
    replyWindow_.setTimerType(Qt::PreciseTimer);
    replyWindow_.setInterval(kReplyWindowMs);
    connect(&replyWindow_, &QTimer::timeout, this, &ProjectorLine::complete);
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &ProjectorLine::open);
    connect(&engine_, &Engine::rxdChanged, this, &ProjectorLine::onRxd);
    // Every failure of the port (open, write, the device gone) arrives here, once a burst.
    connect(&engine_, &Engine::failed, this, &ProjectorLine::fail);
}

void ProjectorLine::open()
{
    if (!engine_.start())
        return;
    const QLatin1StringView fast(kFastLineSettings.data(), qsizetype(kFastLineSettings.size()));
    if (projector_.settings != fast && !engine_.chooseSpeed(projector_.settings.toStdString()))
        return;
    open_ = true;
    backOff_ = kFirstReopen;
    emit opened();
}

void ProjectorLine::send(const std::string &code)
{
    exchange_ = Exchange{code, {}, {}, {}, {}, {}};
    expecting_ = true;
    completing_ = false;
    replyWindow_.start();
    engine_.send(code);
}

void ProjectorLine::onRxd(const QString &text)
{
    // The engine's own window may close first and show its no-reply mark: that is no reply.
    if (!expecting_ || text.isEmpty() || engine_.ReceivedText().empty())
        return;
    exchange_.reply = QByteArray::fromStdString(engine_.ReceivedText());
    exchange_.rendering = text;
    if (completing_ || !exchange_.reply.contains(kCommandTerminator))
        return;
    // Ends once the engine has finished with this reception.
    completing_ = true;
    QMetaObject::invokeMethod(this, &ProjectorLine::complete, Qt::QueuedConnection);
}

void ProjectorLine::complete()
{
    if (!expecting_)
        return;
    expecting_ = false;
    replyWindow_.stop();
    // The reply is complete: its window closes now, so that the next command's reply starts
    // on an empty ReceivedText.
    const std::string currentCommand = engine_.CurrentCommand();
    engine_.Timer2_Timer();
    if (exchange_.reply.isEmpty()) {
        exchange_.rendering = QString::fromUtf8(kNoReplyCaption.text);
    } else if (const StatusDecoding *decoding = replyDecoding(currentCommand)) {
        const std::string rendering = exchange_.rendering.toStdString();
        if (const auto status = decodeStatus(*decoding, rendering))
            exchange_.status = QString::fromStdString(*status);
        if (const auto word = statusWord(*decoding, rendering))
            exchange_.word = QString::fromLatin1(word->data(), qsizetype(word->size()));
    }
    emit done(exchange_);
}

void ProjectorLine::fail(const QString &description)
{
    engine_.closePort();
    open_ = false;
    replyWindow_.stop();
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    if (std::exchange(expecting_, false)) {
        exchange_.failure = description;
        emit done(exchange_);
    }
    emit lost(description, nextTry);
}

} // namespace qv7::bridge
