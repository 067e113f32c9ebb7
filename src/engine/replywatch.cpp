#include "replywatch.h"

#include "protocol/captions.h"
#include "protocol/commandtable.h"

namespace qv7 {

ReplyWatch::ReplyWatch(Engine &engine, QObject *parent)
    : QObject(parent)
    , engine_(engine)
{
    // The same length as the engine's own window; this one also ends a reply that came
    // without its carriage return, which the engine shows without a mark.
    window_.setSingleShot(true);
    window_.setTimerType(Qt::PreciseTimer);
    window_.setInterval(kReplyWindowMs);
    connect(&window_, &QTimer::timeout, this, &ReplyWatch::finish);
    connect(&engine_, &Engine::rxdChanged, this, &ReplyWatch::onRxd);
}

void ReplyWatch::expect()
{
    reply_ = Reply{};
    expecting_ = true;
    completing_ = false;
    window_.start();
}

void ReplyWatch::cancel()
{
    expecting_ = false;
    window_.stop();
}

void ReplyWatch::onRxd(const QString &text)
{
    // The engine's own window may close first and show its no-reply mark: that is no reply.
    if (!expecting_ || text.isEmpty() || engine_.ReceivedText().empty())
        return;
    reply_.bytes = QByteArray::fromStdString(engine_.ReceivedText());
    reply_.rendering = text;
    if (completing_ || !reply_.bytes.contains(kCommandTerminator))
        return;
    // Ends once the engine has finished with this reception.
    completing_ = true;
    QMetaObject::invokeMethod(this, &ReplyWatch::finish, Qt::QueuedConnection);
}

void ReplyWatch::finish()
{
    if (!expecting_)
        return;
    expecting_ = false;
    window_.stop();
    engine_.Timer2_Timer();
    const Subject subject = replySubject(engine_.CurrentCommand());
    reply_.query = subject != Subject::None;
    if (reply_.bytes.isEmpty())
        reply_.rendering = QString::fromUtf8(kNoReplyCaption.text);
    else
        reply_.reading = decodeReading(subject, reply_.rendering.toStdString());
    emit complete(reply_);
}

} // namespace qv7
