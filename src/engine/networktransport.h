#pragma once

#include "transport.h"

#include "protocol/networkport.h"
#include "protocol/telnet.h"

#include <QElapsedTimer>
#include <QTcpSocket>

#include <functional>

namespace qv7 {

// A port behind a serial device server, reached over TCP. This class speaks raw TCP: the
// bytes only, and the speed is the converter's own business, so settings change nothing on
// the far line. The connection is bounded by a time-out, kept alive by TCP keepalive, and
// made again at the next write when the far end closed it while nothing was awaited.
class NetworkTransport : public Transport {
    Q_OBJECT

public:
    NetworkTransport(NetworkPort port, int connectTimeoutMs, QObject *parent = nullptr);
    ~NetworkTransport() override;

    void open(const LineSettings &settings) override;
    void close() override;
    bool isOpen() const override { return open_; }
    void applySettings(const LineSettings &settings) override;
    qint64 bytesToWrite() const override { return socket_.bytesToWrite(); }
    void write(std::string_view data) override;
    QByteArray readAll() override { return std::exchange(received_, {}); }

protected:
    // After the connection is made, still inside open: what the protocol needs before the
    // line is used. Throws CommError when the far end turns the connection down.
    virtual void greet();
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
    // False when the socket did not take them; the socket's error then follows.
    bool send(const QByteArray &bytes);
    bool closedByFarEnd() const;
    // Runs the event loop until done() or the time is up, or the far end closed; done().
    bool waitFor(const std::function<bool()> &done, int timeoutMs);
    // The connection closed as soon as it was made: what a converter serving another client
    // does, often after a line of text saying so.
    [[noreturn]] void failClosedAtOnce() const;

private:
    void connectToPeer();
    void keepAlive();
    void onReadyRead();
    void onSocketError(QAbstractSocket::SocketError error);
    // A close by the far end when no reply can be on its way: made again at the next write.
    bool endsQuietly(QAbstractSocket::SocketError error) const;
    QString lossReason(QAbstractSocket::SocketError error) const;

    NetworkPort port_;
    int connectTimeoutMs_;
    QTcpSocket socket_;
    LineSettings settings_;
    QByteArray received_;
    QElapsedTimer lastWrite_;
    bool open_ = false;
    bool connecting_ = false;
    // The far end closed an idle connection: it is made again at the next write.
    bool dropped_ = false;
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
    void takeIncoming(const QByteArray &bytes) override;
    QByteArray outgoing(std::string_view data) const override;
    void sendSettings() override;

private:
    static telnet::Options freshOptions();

    telnet::Parser parser_;
    telnet::Options options_ = freshOptions();
    int acknowledgementsDue_ = 0;
};

} // namespace qv7
