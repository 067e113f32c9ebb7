#include "mqttclient.h"

#include <QSocketNotifier>

#include <mosquitto.h>

#include <algorithm>
#include <mutex>

namespace qv7::bridge {

namespace {

using namespace std::chrono_literals;

constexpr int kKeepAliveSeconds = 30;
// loop_misc sends the keep-alive ping once it is due; a few seconds late is well within the
// broker's grace of half a keep-alive more.
constexpr auto kHousekeepingInterval = 5s;
constexpr auto kFirstRetry = 1s;
constexpr auto kLongestRetry = 60s;

QByteArray utf8(const QString &text)
{
    return text.toUtf8();
}

} // namespace

MqttClient::MqttClient(BrokerSettings settings, QObject *parent)
    : QObject(parent)
    , settings_(std::move(settings))
    , backOff_(kFirstRetry)
{
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    // A random client id with a clean session: state lives in retained messages, not sessions.
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_)
        qFatal("libmosquitto cannot make a client (out of memory)");
    mosquitto_connect_callback_set(client_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(client_, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(client_, &MqttClient::onMessage);
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    if (!settings_.username.isEmpty())
        mosquitto_username_pw_set(
            client_, utf8(settings_.username).constData(),
            settings_.password.isEmpty() ? nullptr : utf8(settings_.password).constData());
    if (!settings_.caFile.isEmpty())
        mosquitto_tls_set(client_, utf8(settings_.caFile).constData(), nullptr, nullptr, nullptr,
                          nullptr);
    misc_.setInterval(kHousekeepingInterval);
    connect(&misc_, &QTimer::timeout, this, &MqttClient::housekeeping);
    retry_.setSingleShot(true);
    connect(&retry_, &QTimer::timeout, this, &MqttClient::attempt);
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
    const int result = std::exchange(started_, true)
                           ? mosquitto_reconnect_async(client_)
                           : mosquitto_connect_async(client_, utf8(settings_.host).constData(),
                                                     settings_.port, kKeepAliveSeconds);
    if (result != MOSQ_ERR_SUCCESS) {
        lost(QString::fromUtf8(mosquitto_strerror(result)));
        return;
    }
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

bool MqttClient::check(int result, const char *what)
{
    if (result == MOSQ_ERR_SUCCESS)
        return true;
    // The library has already called onDisconnect for a lost connection; this catches the
    // rest (a failed write of a connection still being made).
    lost(QStringLiteral("%1: %2").arg(QLatin1StringView(what),
                                      QString::fromUtf8(mosquitto_strerror(result))));
    return false;
}

void MqttClient::readReady()
{
    if (check(mosquitto_loop_read(client_, 1), "read"))
        updateWriteInterest();
}

void MqttClient::writeReady()
{
    if (check(mosquitto_loop_write(client_, 1), "write"))
        updateWriteInterest();
}

void MqttClient::housekeeping()
{
    if (check(mosquitto_loop_misc(client_), "keep-alive"))
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

void MqttClient::close()
{
    closing_ = true;
    retry_.stop();
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
    retry_.start(backOff_);
    const auto waited = backOff_;
    backOff_ = std::min(backOff_ * 2, std::chrono::milliseconds(kLongestRetry));
    // One report per loss, not one per failed attempt.
    if (wasConnected || lastReason_ != reason) {
        lastReason_ = reason;
        emit disconnected(
            QStringLiteral("%1; trying again in %2 s")
                .arg(reason)
                .arg(std::chrono::duration_cast<std::chrono::seconds>(waited).count()));
    }
}

void MqttClient::onConnect(mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    if (result != 0) {
        // The library's texts end in a full stop; this one goes in the middle of a line.
        client->lost(QString::fromUtf8(mosquitto_connack_string(result)).remove(u'.'));
        return;
    }
    client->connected_ = true;
    client->backOff_ = kFirstRetry;
    client->lastReason_.clear();
    emit client->connected();
}

void MqttClient::onDisconnect(mosquitto *, void *self, int result)
{
    auto *client = static_cast<MqttClient *>(self);
    client->lost(result == MOSQ_ERR_CONN_LOST || result == MOSQ_ERR_ERRNO
                     ? QStringLiteral("the connection was lost")
                     : QString::fromUtf8(mosquitto_strerror(result)));
}

void MqttClient::onMessage(mosquitto *, void *self, const mosquitto_message *message)
{
    auto *client = static_cast<MqttClient *>(self);
    emit client->received(
        QString::fromUtf8(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen));
}

} // namespace qv7::bridge
