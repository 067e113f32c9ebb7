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
    , watch_(engine_)
    , backOff_(kFirstReopen)
{
    engine_.MSComm1().setDevice(1, projector_.port);
    engine_.MSComm1().setConnectTimeout(connectTimeoutMs);
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &ProjectorLine::open);
    connect(&watch_, &ReplyWatch::complete, this, &ProjectorLine::complete);
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
    code_ = code;
    watch_.expect();
    engine_.send(code);
}

void ProjectorLine::complete(const Reply &reply)
{
    emit done(Exchange{code_, reply, {}});
}

void ProjectorLine::fail(const Failure &failure)
{
    const QString &description = failure.description;
    engine_.closePort();
    open_ = false;
    const bool awaited = watch_.expecting();
    watch_.cancel();
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    if (awaited)
        emit done(Exchange{code_, {}, description});
    emit lost(description, nextTry);
}

} // namespace qv7::bridge
