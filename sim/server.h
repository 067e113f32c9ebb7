#pragma once

#include "sim/projector.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>

class QSocketNotifier;

namespace qv7::sim {

// Puts a projector on a line: a pseudo-terminal of its own, whose slave the panel opens as its
// serial device, a real serial device, or a network port as a serial device server offers
// one. It reads the panel's commands, lets the projector answer, and writes the answers back,
// with the faults a real line can have.
class SimulatorServer : public QObject {
    Q_OBJECT

public:
    struct Faults {
        bool noAnswer = false; // the commands are taken, nothing comes back
        int delayMs = 0;       // every answer waits this long
        int pieceGapMs = 0;    // more than 0: answers go out a byte at a time, this far apart
        bool noise = false;    // a few rubbish bytes before every answer
    };

    // Throws std::invalid_argument for settings the projector cannot have.
    explicit SimulatorServer(const SimulatedProjector::Settings &settings = {},
                             QObject *parent = nullptr);
    ~SimulatorServer() override;

    // A new pseudo-terminal; the panel opens portName(). A link path, if given, is made a
    // symbolic link to it (replacing an older link there, never a file) and removed by close().
    bool openPseudoTerminal(const QString &linkPath = {});
    // A real serial device, set raw at the projector's speed.
    bool openDevice(const QString &devicePath);
    // A network port, tcp://HOST:PORT or rfc2217://HOST:PORT (port 0 takes a free one), for
    // one client at a time; a second is told the port is in use and closed, unless the first
    // has been silent for the takeover time. Over RFC 2217 the line runs at the speed the client
    // sets, and a client at another speed than the projector's gets rubbish, as on a
    // pseudo-terminal. Defined with the network listener (qv7sim), apart from the rest
    // (qv7simline), so that a program serving a pseudo-terminal maps no network library.
    bool listen(const QString &url);
    // A client whose cable was pulled holds the port until keepalive finds it dead (in about
    // 25 s); a newcomer takes over sooner from a client that has sent nothing for this long.
    void setTakeoverAfter(std::chrono::milliseconds silence) { takeoverAfter_ = silence; }
    // Closes the network client's connection, as a converter closes an idle one.
    void dropClient();
    void close();
    bool isOpen() const { return fd_ >= 0 || listener_; }
    // What the panel opens: the pseudo-terminal's slave, the device, or the network port.
    QString portName() const { return portName_; }
    QString errorString() const { return errorString_; }

    // The projector's speed; false for a speed it does not have. On a pseudo-terminal a panel
    // set to another speed gets rubbish for every command; a real line garbles by itself.
    bool setBaudRate(int baudRate);
    int baudRate() const { return baudRate_; }

    void setFaults(const Faults &faults) { faults_ = faults; }
    Faults faults() const { return faults_; }

    SimulatedProjector &projector() { return projector_; }

Q_SIGNALS:
    // One line per command and per piece of answer: the time, the direction and the bytes in
    // the panel's own traffic rendering.
    void trafficLogged(const QString &line);

private:
    friend class NetworkListener;

    // The listening socket of a network port and its one client.
    class Listener {
    public:
        virtual ~Listener() = default;
        virtual void dropClient() = 0;
        // False when there is no client to take them.
        virtual bool write(const QByteArray &bytes) = 0;
        // Whether the client set the far line to the projector's speed and framing.
        virtual bool speedMatches() const = 0;
    };

    struct Pending {
        std::chrono::steady_clock::time_point due;
        QByteArray bytes;
    };

    bool start(int fd, bool pseudoTerminal, const QString &portName);
    bool fail(const QString &what);
    void readLine();
    void takeBytes(std::string_view bytes, bool speedMatches);
    // Drops what was read and what waits to go: the far end went away.
    void forgetLine();
    qsizetype writeLine(const QByteArray &bytes);
    void hangUp();
    void checkForPanel();
    void takeLine(const QByteArray &line, bool speedMatches);
    void queueAnswer(QByteArray answer);
    void sendDue();
    bool panelSpeedMatches() const;
    QByteArray rubbish();
    void log(const char *direction, const QByteArray &bytes, const QString &note = {});

    SimulatedProjector projector_;
    Faults faults_;
    int baudRate_ = 19200;
    int fd_ = -1;
    bool pseudoTerminal_ = false;
    QString portName_;
    QString linkPath_;
    QString errorString_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer panelPoll_;        // while nobody holds the line open
    QTimer sendTimer_;        // the next pending answer
    QByteArray partial_;      // a line short of its carriage return
    bool discarding_ = false; // the line ran too long: drop it up to its carriage return
    std::deque<Pending> outgoing_;
    std::uint32_t rubbishState_ = 0x2545F491u;

    std::unique_ptr<Listener> listener_;
    std::chrono::milliseconds takeoverAfter_ = std::chrono::seconds(5);
};

} // namespace qv7::sim
