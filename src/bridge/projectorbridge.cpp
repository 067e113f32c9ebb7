#include "projectorbridge.h"

#include "log.h"
#include "protocol/commandtable.h"
#include "protocol/decoding.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

// How long a command from the broker waits for a projector that cannot take it yet.
constexpr auto kLongestWait = 60s;
constexpr auto kFirstReopen = 5s;
constexpr auto kLongestReopen = 60s;

const Command kPowerQuery = commandNamed("status");
const Command kInputQuery = commandNamed("input");
const Command kLampQuery = commandNamed("lamp-hours");
const Command kOrientationQuery = commandNamed("orientation");
const Command kPowerOn = commandNamed("power", "on");
const Command kPowerOff = commandNamed("power", "off");

bool isInputSelect(const std::string &code)
{
    return std::ranges::any_of(
        kInputs, [&](const auto &input) { return commandNamed("input", input.word).code == code; });
}

QByteArray bytes(std::string_view text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

bool changing(const QString &power)
{
    return power == u"warming" || power == u"cooling";
}

QString code(const std::string &code)
{
    return QString::fromStdString(code);
}

QString words(const Command &command)
{
    return QString::fromStdString(command.words);
}

} // namespace

ProjectorBridge::ProjectorBridge(const InventoryEntry &projector, const BrokerSettings &broker,
                                 const BridgeSettings &settings, QObject *parent)
    : QObject(parent)
    , projector_(projector)
    , settings_(settings)
    , topics_(settings.topicPrefix, projector.name)
    , mqtt_(broker, this)
    , line_(this)
    , backOff_(kFirstReopen)
{
    powerPoll_.setSingleShot(true);
    connect(&powerPoll_, &QTimer::timeout, this, [this] { poll(kPowerQuery); });
    lampPoll_.setInterval(projector_.lampPoll);
    connect(&lampPoll_, &QTimer::timeout, this, [this] { poll(kLampQuery); });
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &ProjectorBridge::dropExpired);
    reopen_.setSingleShot(true);
    connect(&reopen_, &QTimer::timeout, this, &ProjectorBridge::open);

    connect(&mqtt_, &MqttClient::connected, this, &ProjectorBridge::onConnected);
    connect(&mqtt_, &MqttClient::disconnected, this, [this](const QString &reason) {
        log(Priority::Warning, QStringLiteral("broker %1: %2").arg(mqtt_.brokerLabel(), reason));
    });
    connect(&mqtt_, &MqttClient::received, this, &ProjectorBridge::onMessage);
    // Every failure of the port (open, write, the device gone) arrives here, once a burst.
    connect(&line_, &Projector::failed, this, &ProjectorBridge::onLost);
    connect(&line_, &Projector::done, this, &ProjectorBridge::onDone);
    state_.insert(QStringLiteral("link"), "down");
}

void ProjectorBridge::log(Priority priority, const QString &text) const
{
    logEvent(priority, projector_.name + QStringLiteral(": ") + text);
}

void ProjectorBridge::start()
{
    lineDown_ = QStringLiteral("the line is not open yet");
    open();
}

void ProjectorBridge::startBroker()
{
    if (std::exchange(brokerStarted_, true))
        return;
    mqtt_.setWill(topics_(u"availability"), "offline");
    mqtt_.open();
}

void ProjectorBridge::open()
{
    if (line_.open(
            {projector_.port, projector_.name, projector_.settings, settings_.connectTimeoutMs}))
        onOpened();
}

void ProjectorBridge::stop()
{
    if (!brokerStarted_)
        return;
    mqtt_.publish(topics_(u"availability"), "offline", true);
    mqtt_.close();
}

void ProjectorBridge::onConnected()
{
    log(Priority::Info, QStringLiteral("connected to %1").arg(mqtt_.brokerLabel()));
    for (const char16_t *leaf : {u"power/set", u"input/set", u"command"})
        mqtt_.subscribe(topics_(leaf));
    mqtt_.subscribe(settings_.discoveryPrefix + QStringLiteral("/status"));
    publishDiscovery();
    for (auto it = state_.cbegin(); it != state_.cend(); ++it)
        mqtt_.publish(topics_(it.key()), it.value(), true);
    mqtt_.publish(topics_(u"availability"), lineDown_.isEmpty() ? "online" : "offline", true);
}

void ProjectorBridge::publishDiscovery()
{
    for (const Message &message :
         discoveryMessages(projector_.name, topics_, settings_.discoveryPrefix))
        mqtt_.publish(message.topic, message.payload, true);
}

void ProjectorBridge::onMessage(const QString &topic, const QByteArray &payload)
{
    if (topic == settings_.discoveryPrefix + QStringLiteral("/status")) {
        // Home Assistant has started again and forgotten what it was told.
        if (payload.trimmed() == "online")
            publishDiscovery();
        return;
    }
    try {
        std::vector<Command> commands;
        if (topic == topics_(u"power/set"))
            commands = {powerRequest(payload)};
        else if (topic == topics_(u"input/set"))
            commands = {inputRequest(payload)};
        else if (topic == topics_(u"command"))
            commands = commandRequests(payload);
        if (!commands.empty())
            enqueue(commands);
    } catch (const PayloadError &error) {
        log(Priority::Notice, QStringLiteral("%1: %2").arg(topic, error.description()));
        reply({{QStringLiteral("topic"), topic}, {QStringLiteral("error"), error.description()}});
    }
}

void ProjectorBridge::enqueue(const std::vector<Command> &commands)
{
    for (const Command &command : commands)
        queue_.push_back({command, true, QDeadlineTimer(kLongestWait)});
    const Command &first = commands.front();
    if (!lineDown_.isEmpty()) {
        failQueued();
        return;
    }
    if (!(takenInAnyState(first.code) || power_ == u"on"))
        log(Priority::Info, QStringLiteral("%1 waits until the projector can take it (%2)")
                                .arg(words(first), power_));
    armExpiry();
    dispatch();
}

void ProjectorBridge::poll(const Command &query)
{
    // One of each query waiting is enough.
    if (std::ranges::any_of(queue_, [&](const Pending &p) {
            return !p.fromBroker && p.command.code == query.code;
        }))
        return;
    queue_.push_back({query, false, {}});
    dispatch();
}

void ProjectorBridge::dispatch()
{
    if (!line_.isOpen() || !line_.idle() || inFlight_)
        return;
    const auto next = std::ranges::find_if(queue_, [this](const Pending &p) {
        return takenInAnyState(p.command.code) || power_ == u"on";
    });
    if (next == queue_.end())
        return;
    inFlight_ = *next;
    queue_.erase(next);
    if (settings_.verbose)
        log(Priority::Debug, QStringLiteral("sent %1 (%2)")
                                 .arg(code(inFlight_->command.code), words(inFlight_->command)));
    line_.request(inFlight_->command);
}

void ProjectorBridge::armExpiry()
{
    QDeadlineTimer earliest = QDeadlineTimer::Forever;
    for (const Pending &p : queue_) {
        if (p.fromBroker && p.deadline < earliest)
            earliest = p.deadline;
    }
    if (earliest.isForever())
        expiry_.stop();
    else
        expiry_.start(std::chrono::milliseconds(earliest.remainingTime()));
}

void ProjectorBridge::dropExpired()
{
    const QString why = !line_.isOpen()    ? QStringLiteral("the line is down")
                        : power_.isEmpty() ? QStringLiteral("the projector does not answer")
                                           : QStringLiteral("the projector is ") + power_;
    std::erase_if(queue_, [&](const Pending &p) {
        if (!p.fromBroker || !p.deadline.hasExpired())
            return false;
        refuse(p, QStringLiteral("not sent: %1 after %2 s")
                      .arg(why)
                      .arg(std::chrono::seconds(kLongestWait).count()));
        return true;
    });
    armExpiry();
}

void ProjectorBridge::onOpened()
{
    startBroker();
    lineDown_.clear();
    mqtt_.publish(topics_(u"availability"), "online", true);
    backOff_ = kFirstReopen;
    log(Priority::Info, QStringLiteral("%1 is open").arg(projector_.port));
    for (const Command &query : {kPowerQuery, kInputQuery, kLampQuery, kOrientationQuery})
        poll(query);
    lampPoll_.start();
}

void ProjectorBridge::onLost(const Failure &failure)
{
    const auto nextTry = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::seconds(kLongestReopen));
    reopen_.start(nextTry);
    const bool firstOfOutage = lineDown_.isEmpty() || !brokerStarted_;
    lineDown_ = failure.description;
    if (!brokerStarted_ && failure.kind == FailureKind::InUse) {
        if (firstOfOutage || settings_.verbose)
            log(Priority::Warning, QStringLiteral("%1; another program owns this projector's "
                                                  "line, so nothing is published for it until "
                                                  "it is free; trying again in %2 s")
                                       .arg(failure.description)
                                       .arg(nextTry.count()));
        return;
    }
    startBroker();
    // One line per outage; the attempts after it only change the link topic, which they don't.
    if (state_.value(QStringLiteral("link")) != "down" || settings_.verbose)
        log(Priority::Warning, QStringLiteral("%1; trying again in %2 s")
                                   .arg(failure.description)
                                   .arg(nextTry.count()));
    setLink(QStringLiteral("down"));
    // What was read before the loss may no longer hold.
    power_.clear();
    setState(QStringLiteral("power"), QByteArray());
    mqtt_.publish(topics_(u"availability"), "offline", true);
    powerPoll_.stop();
    lampPoll_.stop();
    std::erase_if(queue_, [](const Pending &p) { return !p.fromBroker; });
    failQueued();
}

void ProjectorBridge::failQueued()
{
    std::erase_if(queue_, [this](const Pending &p) {
        refuse(p, QStringLiteral("not sent: the line is down (%1)").arg(lineDown_));
        return true;
    });
    armExpiry();
}

void ProjectorBridge::refuse(const Pending &pending, const QString &error)
{
    log(Priority::Notice, QStringLiteral("%1: %2").arg(words(pending.command), error));
    reply({{QStringLiteral("command"), words(pending.command)},
           {QStringLiteral("code"), code(pending.command.code)},
           {QStringLiteral("error"), error}});
}

void ProjectorBridge::onDone(const Result &result)
{
    const Pending done = *std::exchange(inFlight_, std::nullopt);
    QJsonObject outcome{{QStringLiteral("command"), words(done.command)},
                        {QStringLiteral("code"), code(result.command.code)},
                        {QStringLiteral("rendering"), result.rendering}};
    const bool noReply = result.failure && result.failure->kind == FailureKind::NoReply;
    if (result.failure && !noReply) {
        if (done.fromBroker) {
            outcome.insert(QStringLiteral("error"), result.failure->description);
            reply(outcome);
        }
        return;
    }
    const std::optional<QString> status =
        result.reading ? std::optional(QString::fromLatin1(scriptText(*result.reading)))
                       : std::nullopt;
    if (settings_.verbose)
        log(Priority::Debug, QStringLiteral("reply to %1: %2%3")
                                 .arg(code(result.command.code), result.rendering.trimmed(),
                                      status ? QStringLiteral(" (%1)").arg(*status) : QString()));
    if (noReply) {
        // Only an unanswered query says the projector is silent; it need not answer the rest.
        if (result.query)
            setLink(QStringLiteral("silent"));
        outcome.insert(QStringLiteral("error"),
                       QStringLiteral("no reply within %1 ms").arg(kReplyWindowMs));
    } else {
        setLink(QStringLiteral("up"));
        if (result.reading)
            take(*result.reading);
        if (status)
            outcome.insert(QStringLiteral("status"), *status);
    }
    const std::string &sent = result.command.code;
    if (sent == kPowerQuery.code)
        powerPoll_.start(changing(power_) ? projector_.transitionPoll : projector_.powerPoll);
    // See what the command did at once rather than at the next poll.
    if (sent == kPowerOn.code || sent == kPowerOff.code)
        poll(kPowerQuery);
    else if (isInputSelect(sent))
        poll(kInputQuery);
    if (done.fromBroker)
        reply(outcome);
    dispatch();
}

void ProjectorBridge::take(const Reading &reading)
{
    if (const auto *power = std::get_if<PowerState>(&reading)) {
        setPower(QString::fromLatin1(word(*power)));
    } else if (const auto *input = std::get_if<Input>(&reading)) {
        setState(QStringLiteral("input"), bytes(word(*input)));
    } else if (const auto *lamp = std::get_if<LampTime>(&reading)) {
        if (lamp->hours)
            setState(QStringLiteral("lamp_hours"), QByteArray::number(*lamp->hours));
    } else if (const auto *orientation = std::get_if<Orientation>(&reading)) {
        setState(QStringLiteral("orientation"), bytes(word(*orientation)));
    }
}

void ProjectorBridge::setPower(const QString &word)
{
    const QString before = std::exchange(power_, word);
    if (before != word)
        log(Priority::Info, QStringLiteral("power %1").arg(word));
    setState(QStringLiteral("power"), word.toUtf8());
    // The input may have changed while the projector was off.
    if (word == u"on" && before != u"on")
        poll(kInputQuery);
}

void ProjectorBridge::setLink(const QString &word)
{
    const QByteArray value = word.toUtf8();
    if (state_.value(QStringLiteral("link")) != value && word != u"down")
        log(word == u"up" ? Priority::Info : Priority::Warning,
            QStringLiteral("link %1").arg(word));
    setState(QStringLiteral("link"), value);
}

void ProjectorBridge::setState(const QString &leaf, const QByteArray &value)
{
    const auto it = state_.find(leaf);
    if (it != state_.end() && *it == value)
        return;
    state_.insert(leaf, value);
    mqtt_.publish(topics_(leaf), value, true);
}

void ProjectorBridge::reply(const QJsonObject &object)
{
    mqtt_.publish(topics_(u"reply"), QJsonDocument(object).toJson(QJsonDocument::Compact), false);
}

} // namespace qv7::bridge
