#include "requests.h"

#include "protocol/commandtable.h"
#include "protocol/decoding.h"

#include <QStringDecoder>

#include <algorithm>

namespace qv7::bridge {

namespace {

// Longer payloads are no command of this vocabulary, and are not echoed back whole.
constexpr qsizetype kLongestPayload = 64;
constexpr int kMostSends = 100;

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

QString oneOf(const QStringList &words)
{
    return words.size() < 2 ? words.join(QString())
                            : words.first(words.size() - 1).join(QStringLiteral(", ")) +
                                  QStringLiteral(" or ") + words.last();
}

const OneShotCommand &oneShot(std::string_view name, std::string_view argument)
{
    return *findOneShotVerb({name, argument});
}

} // namespace

QStringList powerWords()
{
    QStringList words;
    for (const std::string_view word : qv7::powerWords())
        words.append(latin1(word));
    return words;
}

QStringList inputWords()
{
    QStringList words;
    for (const auto &input : kInputs)
        words.append(latin1(input.word));
    return words;
}

Request powerRequest(const QByteArray &payload)
{
    const QString text = payloadText(payload);
    for (const char *argument : {"on", "off"}) {
        if (text.compare(QLatin1StringView(argument), Qt::CaseInsensitive) == 0)
            return {QStringLiteral("power ") + QLatin1StringView(argument),
                    std::string(oneShot("power", argument).code)};
    }
    throw PayloadError(QStringLiteral("power/set takes ON or OFF, not \"%1\"").arg(text));
}

Request inputRequest(const QByteArray &payload)
{
    const QString text = payloadText(payload);
    if (const auto input = inputNamed(text.toStdString())) {
        const std::string_view name = word(*input);
        return {QStringLiteral("input ") + latin1(name), std::string(oneShot("input", name).code)};
    }
    throw PayloadError(
        QStringLiteral("input/set takes %1, not \"%2\"").arg(oneOf(inputWords()), text));
}

std::vector<Request> commandRequests(const QByteArray &payload)
{
    const QString text = payloadText(payload);
    const QStringList words = text.split(u' ', Qt::SkipEmptyParts);
    if (words.isEmpty())
        throw PayloadError(QStringLiteral("an empty command"));
    const std::string name = words[0].toStdString();
    if (words.size() == 1 && isCommandCode(name))
        return {{text, name}};
    const std::string argument = words.size() > 1 ? words[1].toStdString() : std::string();
    const auto fail = [&text] {
        return PayloadError(
            QStringLiteral("\"%1\" is no command (qv7ctl --list shows them)").arg(text));
    };
    if (const OneShotCommand *row = findOneShotVerb({name, argument});
        row && words.size() == (argument.empty() ? 1 : 2))
        return {{text, std::string(row->code)}};
    if (const OneShotCommand *row = findOneShotVerb({name}); row && words.size() == 1)
        return {{text, std::string(row->code)}};
    // A held verb: its argument, then how many sends.
    const HoldCommand *held = findHoldVerb({name, argument});
    qsizetype used = 2;
    if (!held) {
        held = findHoldVerb({name});
        used = 1;
    }
    if (!held || words.size() > used + 1)
        throw fail();
    int count = 1;
    if (words.size() == used + 1) {
        bool number = false;
        count = words[used].toInt(&number);
        if (!number || count < 1 || count > kMostSends)
            throw PayloadError(QStringLiteral("\"%1\": the count is from 1 to %2, not %3")
                                   .arg(text)
                                   .arg(kMostSends)
                                   .arg(words[used]));
    }
    return std::vector<Request>(std::size_t(count), Request{text, std::string(held->code)});
}

bool takenInAnyState(std::string_view code)
{
    // "CR" and a digit is a query (see isCommandCode).
    return code.starts_with("CR") || code == oneShot("power", "on").code;
}

} // namespace qv7::bridge
