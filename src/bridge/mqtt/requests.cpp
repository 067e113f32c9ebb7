#include "requests.h"

#include "protocol/decoding.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <algorithm>

namespace qv7::bridge {

namespace {

// Longer payloads are no command of this vocabulary, and are not echoed back whole.
constexpr qsizetype kLongestPayload = 64;
constexpr qsizetype kLongestJsonPayload = 1024;

QString latin1(std::string_view text)
{
    return QString::fromLatin1(text.data(), qsizetype(text.size()));
}

// The payload as text, or the reason it is none.
QString payloadText(const QByteArray &payload)
{
    if (payload.size() > kLongestPayload)
        throw PayloadError(
            QStringLiteral("a payload of %1 bytes is no command").arg(payload.size()));
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = QString(decoder(payload)).trimmed();
    if (decoder.hasError() ||
        std::ranges::any_of(text, [](QChar c) { return c.category() == QChar::Other_Control; }))
        throw PayloadError(QStringLiteral("the payload is not plain text"));
    return text;
}

} // namespace

Command powerRequest(const QByteArray &payload)
{
    const QString text = payloadText(payload);
    for (const OneShotCommand *button : {&kPowerOn, &kPowerOff}) {
        if (text.compare(latin1(button->verb.argument), Qt::CaseInsensitive) == 0)
            return commandFor(*button);
    }
    throw PayloadError(QStringLiteral("power/set takes ON or OFF, not \"%1\"").arg(text));
}

Command inputRequest(const QByteArray &payload)
{
    const QString text = payloadText(payload);
    if (const auto input = inputNamed(text.toStdString()))
        return commandFor(inputButton(*input));
    throw PayloadError(QStringLiteral("input/set takes %1, not \"%2\"")
                           .arg(QString::fromStdString(oneOf(inputWords())), text));
}

CommandRequest commandRequests(const QByteArray &payload)
{
    CommandRequest request;
    QByteArray script = payload;
    if (payload.trimmed().startsWith('{')) {
        if (payload.size() > kLongestJsonPayload)
            throw PayloadError(
                QStringLiteral("a payload of %1 bytes is no command").arg(payload.size()));
        const QJsonObject object = QJsonDocument::fromJson(payload).object();
        if (!object.value(u"command").isString())
            throw PayloadError(
                QStringLiteral("a JSON payload is {\"command\": \"volume up 2\", \"id\": ANY}"));
        script = object.value(u"command").toString().toUtf8();
        request.id = object.value(u"id");
    }
    ParsedCommands parsed = parseCommands(payloadText(script).toStdString());
    if (parsed.commands.empty() && parsed.error.empty())
        throw PayloadError(QStringLiteral("an empty command"));
    if (!parsed.error.empty())
        throw PayloadError(QString::fromStdString(parsed.error));
    request.commands = std::move(parsed.commands);
    return request;
}

} // namespace qv7::bridge
