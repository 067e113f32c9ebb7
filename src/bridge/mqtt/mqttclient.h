#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>

struct mosquitto;
struct mosquitto_message;
class QSocketNotifier;

namespace qv7::bridge {

// Where the broker is and who the bridge is to it.
struct BrokerSettings {
    QString host;
    quint16 port = 1883;
    QString caFile;   // not empty: TLS, with the broker's certificate checked against this
    QString certFile; // the bridge's own certificate and key, for a broker that asks for one
    QString keyFile;
    QString username;
    QString password;
    QString clientId; // empty: a random one
};

// One connection to an MQTT broker through libmosquitto, driven by this thread's event loop:
// the socket on notifiers, the keep-alive on a timer, nothing polled. A lost connection is
// made again after 1 s, doubling up to a minute; connected() comes after each CONNACK, so that
// the owner subscribes and publishes its retained state again. The process's connections take
// turns to connect, kConnectionGap apart.
class MqttClient : public QObject {
    Q_OBJECT

public:
    // Between the starts of two connection attempts of this process.
    static constexpr std::chrono::milliseconds kConnectionGap{40};

    explicit MqttClient(BrokerSettings settings, QObject *parent = nullptr);
    ~MqttClient() override;

    // Published, retained, by the broker when this connection ends without a goodbye.
    void setWill(const QString &topic, const QByteArray &payload);
    void open();
    bool isConnected() const { return connected_; }
    // Both are dropped while there is no connection: the owner sends again on connected().
    void publish(const QString &topic, const QByteArray &payload, bool retained);
    void subscribe(const QString &pattern);
    void unsubscribe(const QString &pattern);
    // A clean goodbye: the will is not published.
    void close();

    QString brokerLabel() const;

signals:
    void connected();
    // Once per loss; the next attempt is scheduled.
    void disconnected(const QString &reason);
    // retained: the broker kept the message and hands it to a new subscription; a message
    // published while this client listens comes without the flag, retained or not.
    void received(const QString &topic, const QByteArray &payload, bool retained);

private:
    static void onConnect(mosquitto *, void *self, int result);
    static void onDisconnect(mosquitto *, void *self, int result);
    static void onMessage(mosquitto *, void *self, const mosquitto_message *message);
    static void onLog(mosquitto *, void *self, int level, const char *text);

    void attempt();
    void connectNow();
    void watchSocket();
    void readReady();
    void writeReady();
    void housekeeping();
    void updateWriteInterest();
    void noteHandshake();
    void noteMadeConnection(int result);
    QString lossReason(const QString &reason, const QString &detail) const;
    void lost(const QString &reason);
    bool check(int result);

    BrokerSettings settings_;
    mosquitto *client_ = nullptr;
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
    QTimer misc_;  // keep-alive and retries of unacknowledged messages
    QTimer retry_; // the next connection attempt
    QTimer turn_;  // this connection's turn among the process's
    std::chrono::milliseconds backOff_;
    bool started_ = false; // a first connection attempt was made: the next ones reconnect
    bool connected_ = false;
    // This attempt's TCP connection is made and the broker has not answered yet: a loss now is
    // the TLS handshake's, or the broker's refusal right after it.
    bool handshaking_ = false;
    QElapsedTimer connectedFor_;
    bool closing_ = false;
    QSet<QString> reasons_; // reported since the last connection
    QString libraryError_;  // what the library last logged as an error: the TLS check that failed
};

} // namespace qv7::bridge
