#pragma once

#include "transport.h"

#include "protocol/networkport.h"
#include "protocol/telnet.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

namespace qv7 {

// A port behind a serial device server, reached over TCP. This class speaks raw TCP: the
// bytes only, and the speed is the converter's own business, so settings change nothing on
// the far line. The connection is bounded by a time-out, kept alive by TCP keepalive, and
// made again at the next write when the far end closed it while nothing was awaited.
//
// Nothing here waits: connecting, the greeting and reconnecting are steps driven by the
// socket's signals and single-shot timers, so that the program's handlers never run inside
// another's call. Bytes written while a connection is being made again wait in order and go
// out once it is made.
class NetworkTransport : public Transport {
    Q_OBJECT

public:
    NetworkTransport(NetworkPort port, int connectTimeoutMs, QObject *parent = nullptr);
    ~NetworkTransport() override;

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return open_; }
    void applySettings(const LineSettings &settings) override;
    qint64 bytesToWrite() const override { return socket_.bytesToWrite() + waiting_.size(); }
    void write(std::string_view data) override;
    QByteArray readAll() override { return std::exchange(received_, {}); }

protected:
    // After the connection is made: what the protocol needs before the line is used. It ends
    // with greeted(), or with failGreeting(); greetingTimedOut() is called when the time given
    // by awaitGreeting() is up first.
    virtual void greet();
    virtual void greetingTimedOut() { greeted(); }
    // Bytes from the far end: the data among them goes to received().
    virtual void takeIncoming(const QByteArray &bytes) { received_ += bytes; }
    virtual QByteArray outgoing(std::string_view data) const
    {
        return QByteArray(data.data(), qsizetype(data.size()));
    }
    // Puts the far line at settings(); nothing for raw TCP.
    virtual void sendSettings() {}

    const LineSettings &settings() const { return settings_; }
    QByteArray &received() { return received_; }
    bool greeting() const { return phase_ == Phase::Greeting; }
    void awaitGreeting(int timeoutMs) { step_.start(timeoutMs); }
    void greeted();
    void failGreeting(const CommError &error);
    // False when the socket did not take them; the socket's error then follows.
    bool send(const QByteArray &bytes);

private:
    enum class Phase { Closed, Connecting, Greeting, Open };

    void connectToPeer();
    void onConnected();
    void onStepTimeout();
    void keepAlive();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    // The connection closed as soon as it was made: what a converter serving another client
    // does, often after a line of text saying so.
    CommError closedAtOnce() const;
    void failConnect(const CommError &error);
    void setConnecting(bool connecting);
    // A close by the far end when no reply can be on its way: made again at the next write.
    bool endsQuietly(QAbstractSocket::SocketError error) const;
    QString lossReason(QAbstractSocket::SocketError error) const;

    NetworkPort port_;
    int connectTimeoutMs_;
    QTcpSocket socket_;
    // The connect time-out, then each step of the greeting.
    QTimer step_;
    LineSettings settings_;
    QByteArray received_;
    // Bytes written while the connection is being made again.
    QByteArray waiting_;
    QElapsedTimer lastWrite_;
    // Since the first write after a quiet spell, until the far end answers: that write and
    // those after it, sent again when an idle close crossed them.
    QElapsedTimer quietBroken_;
    QByteArray unanswered_;
    Phase phase_ = Phase::Closed;
    // Open for its user: from the first connection made until close() or a loss.
    bool open_ = false;
    bool connecting_ = false;
    // Tells a queued socket error from an earlier connection apart.
    unsigned generation_ = 0;
};

// RFC 2217: telnet with the COM-PORT-OPTION. The line settings go to the far line when the
// port opens and whenever they change; data is escaped both ways; the server's notifications
// and any option it offers are answered or passed over without touching the data.
class Rfc2217Transport : public NetworkTransport {
    Q_OBJECT

public:
    using NetworkTransport::NetworkTransport;

protected:
    void greet() override;
    void greetingTimedOut() override;
    void takeIncoming(const QByteArray &bytes) override;
    QByteArray outgoing(std::string_view data) const override;
    void sendSettings() override;

private:
    static telnet::Options freshOptions();
    // The server has answered the offer of the COM-PORT-OPTION, or the time for it is up.
    void afterOffers();

    telnet::Parser parser_;
    telnet::Options options_ = freshOptions();
    int acknowledgementsDue_ = 0;
    bool settingsSent_ = false;
};

} // namespace qv7
