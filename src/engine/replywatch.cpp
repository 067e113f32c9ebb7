#include "replywatch.h"

#include "protocol/captions.h"
#include "protocol/commandtable.h"

#include <QRegularExpression>

namespace qv7 {

QString scriptText(const QString &status)
{
    static const QRegularExpression digitGap(QStringLiteral("(?<=\\d) (?=\\d)"));
    return status.trimmed().remove(digitGap);
}

std::optional<int> lampHours(const QString &status)
{
    const QString suffix = QString::fromLatin1(kLampHoursDecoding.suffix.data(),
                                               qsizetype(kLampHoursDecoding.suffix.size()));
    const QString text = scriptText(status);
    bool number = false;
    const int hours = text.endsWith(suffix) ? text.chopped(suffix.size()).toInt(&number) : 0;
    return number ? std::optional(hours) : std::nullopt;
}

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
    const StatusDecoding *decoding = replyDecoding(engine_.CurrentCommand());
    reply_.query = decoding != nullptr;
    if (reply_.bytes.isEmpty()) {
        reply_.rendering = QString::fromUtf8(kNoReplyCaption.text);
    } else if (decoding) {
        const std::string rendering = reply_.rendering.toStdString();
        if (const auto status = decodeStatus(*decoding, rendering))
            reply_.status = QString::fromStdString(*status);
        if (const auto word = statusWord(*decoding, rendering))
            reply_.word = QString::fromLatin1(word->data(), qsizetype(word->size()));
    }
    emit complete(reply_);
}

} // namespace qv7
