#include "mqttclient.h"

#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr int kKeepAliveSeconds = 30;
// loop_misc sends the keep-alive ping once it is due; a few seconds late is well within the
// broker's grace of half a keep-alive more.
constexpr auto kHousekeepingInterval = 5s;
constexpr auto kFirstRetry = 1s;
constexpr auto kLongestRetry = 60s;
// A connection that held this long was no takeover.
constexpr auto kStableConnection = 30s;

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

// The library's texts end in a full stop; these go in the middle of a line.
QString libraryText(const char *text)
{
    QString line = QString::fromUtf8(text);
    if (line.endsWith(u'.'))
        line.chop(1);
    return line;
}

} // namespace

MqttClient::MqttClient(BrokerSettings settings, QObject *parent)
    : QObject(parent)
    , settings_(std::move(settings))
    , backOff_(kFirstRetry)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    // A clean session, with a random client id unless one is given: state lives in retained
    // messages, not sessions.
    client_ = mosquitto_new(
        settings_.clientId.isEmpty() ? nullptr : utf8(settings_.clientId).constData(), true, this);
    if (!client_)
        qFatal("libmosquitto cannot make a client (out of memory)");
    mosquitto_connect_callback_set(client_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(client_, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(client_, &MqttClient::onMessage);
    mosquitto_log_callback_set(client_, &MqttClient::onLog);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!settings_.username.isEmpty())
        mosquitto_username_pw_set(
            client_, utf8(settings_.username).constData(),
            settings_.password.isEmpty() ? nullptr : utf8(settings_.password).constData());
    if (!settings_.caFile.isEmpty())
        mosquitto_tls_set(
            client_, utf8(settings_.caFile).constData(), nullptr,
            settings_.certFile.isEmpty() ? nullptr : utf8(settings_.certFile).constData(),
            settings_.keyFile.isEmpty() ? nullptr : utf8(settings_.keyFile).constData(), nullptr);
    misc_.setInterval(kHousekeepingInterval);
    connect(&misc_, &QTimer::timeout, this, &MqttClient::housekeeping);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttClient::attempt);
    turn_.setSingleShot(true);
    connect(&turn_, &QTimer::timeout, this, &MqttClient::connectNow);
}

MqttClient::~MqttClient()
{
    reader_.reset();
    writer_.reset();
    mosquitto_destroy(client_);
}

QString MqttClient::brokerLabel() const
{
    return QStringLiteral("%1://%2:%3")
        .arg(settings_.caFile.isEmpty() ? QStringLiteral("mqtt") : QStringLiteral("mqtts"),
             settings_.host)
        .arg(settings_.port);
}

void MqttClient::setWill(const QString &topic, const QByteArray &payload)
{
    mosquitto_will_set(client_, utf8(topic).constData(), int(payload.size()), payload.constData(),
                       1, true);
}

void MqttClient::open()
{
    closing_ = false;
    attempt();
}

void MqttClient::attempt()
{
    // The connections of a process take turns, kConnectionGap apart: a daemon that starts, or
    // a broker that comes back, is not one burst of every projector's retained state, which
    // would overrun a subscriber that takes everything at QoS 1.
    static auto nextTurn = std::chrono::steady_clock::time_point();
    const auto now = std::chrono::steady_clock::now();
    const auto turn = std::max(now, nextTurn);
    nextTurn = turn + kConnectionGap;
    if (turn > now) {
        turn_.start(std::chrono::ceil<std::chrono::milliseconds>(turn - now));
        return;
    }
    connectNow();
}

void MqttClient::connectNow()
{
    handshaking_ = false;
    const int result = std::exchange(started_, true)
                           ? mosquitto_reconnect_async(client_)
                           : mosquitto_connect_async(client_, utf8(settings_.host).constData(),
                                                     settings_.port, kKeepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS) {
        // On this host the whole handshake, and the broker's refusal of it, may come within
        // the call: a protocol or TLS error there came after the connection was made.
        noteMadeConnection(result);
        lost(libraryText(mosquitto_strerror(result)));
        return;
    }
    // A connection on this host is made at once, and may be refused before the next event.
    noteHandshake();
    watchSocket();
}

void MqttClient::watchSocket()
{
    const int fd = mosquitto_socket(client_);
    reader_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    writer_ = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(reader_.get(), &QSocketNotifier::activated, this, &MqttClient::readReady);
    connect(writer_.get(), &QSocketNotifier::activated, this, &MqttClient::writeReady);
    updateWriteInterest();
    misc_.start();
}

bool MqttClient::check(int result)
{
    if (result == MOSQ_ERR_SUCCESS)
        return true;
    // The library has already called onDisconnect for a lost connection; this catches the
    // rest (a failed handshake or write of a connection still being made).
    noteMadeConnection(result);
    lost(libraryText(mosquitto_strerror(result)));
    return false;
}

void MqttClient::noteHandshake()
{
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (!connected_ && !handshaking_)
        handshaking_ = ::getpeername(mosquitto_socket(client_), reinterpret_cast<sockaddr *>(&peer),
                                     &length) == 0;
}

void MqttClient::noteMadeConnection(int result)
{
    // Before the broker's answer, a connection lost or reset, or a protocol or TLS error (the
    // library's own, or the system's EPROTO from OpenSSL), comes from a connection that was
    // made, though its peer may never have been seen: under load the broker can refuse the
    // handshake and hang up before the first event.
    const int error = errno;
    const bool made =
        result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_PROTOCOL || result == MOSQ_ERR_TLS ||
        (result == MOSQ_ERR_ERRNO && (error == EPROTO || error == ECONNRESET || error == EPIPE));
    if (!connected_ && made)
        handshaking_ = true;
}

void MqttClient::readReady()
{
    noteHandshake();
    if (!check(mosquitto_loop_read(client_, 1)))
        return;
    // A connection refused during the TLS handshake leaves the socket hung up while the library
    // still waits for the handshake: it would wake the loop for ever.
    pollfd socket{mosquitto_socket(client_), POLLIN, 0};
    if (!connected_ && ::poll(&socket, 1, 0) == 1 && (socket.revents & (POLLHUP | POLLERR))) {
        lost(QStringLiteral("the connection was refused or closed"));
        return;
    }
    updateWriteInterest();
}

void MqttClient::writeReady()
{
    noteHandshake();
    if (check(mosquitto_loop_write(client_, 1)))
        updateWriteInterest();
}

void MqttClient::housekeeping()
{
    if (check(mosquitto_loop_misc(client_)))
        updateWriteInterest();
}

void MqttClient::updateWriteInterest()
{
    // Only while something waits to go out: a writable socket would wake the loop for ever.
    if (writer_)
        writer_->setEnabled(mosquitto_want_write(client_));
}

void MqttClient::publish(const QString &topic, const QByteArray &payload, bool retained)
{
    if (!connected_)
        return;
    mosquitto_publish(client_, nullptr, utf8(topic).constData(), int(payload.size()),
                      payload.constData(), 1, retained);
    updateWriteInterest();
}

void MqttClient::subscribe(const QString &pattern)
{
    if (!connected_)
        return;
    mosquitto_subscribe(client_, nullptr, utf8(pattern).constData(), 1);
    updateWriteInterest();
}

void MqttClient::unsubscribe(const QString &pattern)
{
    if (!connected_)
        return;
    mosquitto_unsubscribe(client_, nullptr, utf8(pattern).constData());
    updateWriteInterest();
}

void MqttClient::close()
{
    closing_ = true;
    retry_.stop();
    turn_.stop();
    if (connected_)
        mosquitto_disconnect(client_);
    connected_ = false;
    misc_.stop();
    reader_.reset();
    writer_.reset();
}

void MqttClient::lost(const QString &reason)
{
    if (closing_ || retry_.isActive())
        return;
    // The notifiers may be the ones whose signal is being handled: let them go afterwards.
    if (reader_) {
        reader_->setEnabled(false);
        reader_.release()->deleteLater();
    }
    if (writer_) {
        writer_->setEnabled(false);
        writer_.release()->deleteLater();
    }
    misc_.stop();
    const bool wasConnected = std::exchange(connected_, false);
    QString detail = std::exchange(libraryError_, QString());
    const QString why = wasConnected ? reason : lossReason(reason, detail);
    // A connection the broker drops soon after it was made is most likely another client taking
    // over the same client id: the back-off goes on growing rather than starting a fight.
    if (wasConnected &&
        connectedFor_.elapsed() >= std::chrono::milliseconds(kStableConnection).count())
        backOff_ = kFirstRetry;
    else if (wasConnected && !settings_.clientId.isEmpty())
        detail = QStringLiteral("dropped %1 s after it was made: does another client use the "
                                "client id %2, or did the broker stop?")
                     .arg(connectedFor_.elapsed() / 1000)
                     .arg(settings_.clientId);
    retry_.start(backOff_);
    const auto waited = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::milliseconds(kLongestRetry));
    // One report per loss, not one per failed attempt; later attempts are reported only when
    // the library says something new of why (a TLS check), since a handshake that the broker
    // refuses fails in several ways by turns.
    if (wasConnected)
        reasons_.clear();
    const QString text = why + (detail.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(detail));
    const bool report = reasons_.isEmpty() || (!detail.isEmpty() && !reasons_.contains(text));
    reasons_.insert(text);
    if (report) {
        emit disconnected(
            QStringLiteral("%1; trying again in %2 s")
                .arg(text)
                .arg(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    }
}

QString MqttClient::lossReason(const QString &reason, const QString &detail) const
{
    // A broker that refuses the client's half of a TLS handshake (no client certificate, or
    // one it does not accept) closes the connection, with an alert or without: which of the
    // library's words then come ("Protocol error", "the connection was lost", a hang-up) is a
    // race. Only an alert is OpenSSL's word for the broker's refusal; the client's own checks
    // (the broker's certificate) keep theirs.
    const bool tls = !settings_.caFile.isEmpty();
    if (!tls || !handshaking_ || (!detail.isEmpty() && !detail.contains(QLatin1String("alert"))))
        return reason;
    return settings_.certFile.isEmpty()
               ? QStringLiteral("the broker closed the connection during the TLS handshake: "
                                "does it require a client certificate? Give --cert and --key")
               : QStringLiteral("the broker closed the connection during the TLS handshake: "
                                "does it accept the client certificate of --cert?");
}

void MqttClient::onLog(mosquitto *, void *self, int level, const char *text)
{
    if (level & MOSQ_LOG_ERR)
        static_cast<MqttClient *>(self)->libraryError_ = QString::fromUtf8(text);
}

void MqttClient::onConnect(mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    // The broker answered: whatever follows is not the handshake's.
    client->handshaking_ = false;
    if (result != 0) {
        client->lost(libraryText(mosquitto_connack_string(result)));
        return;
    }
    client->connected_ = true;
    client->connectedFor_.start();
    client->reasons_.clear();
    emit client->connected();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    client->noteMadeConnection(result);
    client->lost(result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_ERRNO
                     ? QStringLiteral("the connection was lost")
                     : libraryText(mosquitto_strerror(result)));
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    emit client->received(
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}

} // namespace qv7::bridge
