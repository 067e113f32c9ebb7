#include "sim/server.h"

#include "protocol/rendering.h"

#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTime>

#include <algorithm>
#include <optional>
#include <utility>

// A pseudo-terminal or a serial device of its own is a POSIX line; on Windows the simulated
// projector serves network ports only, which the panel's --simulate uses there.
#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qv7::sim {

namespace {

using namespace std::chrono_literals;

// A line that long without a carriage return is no command: it is logged and dropped.
constexpr qsizetype kLongestLine = 64;
// How often a line that nobody holds open is looked at for the panel coming back.
constexpr auto kPanelPollInterval = 100ms;

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

#ifdef Q_OS_UNIX
std::optional<speed_t> speedCode(int baudRate)
{
    static constexpr speed_t kCodes[] = {B1200,  B2400,  B4800,  B9600,
                                         B19200, B38400, B57600, B115200};
    static_assert(std::size(kCodes) == std::size(kBaudRates));
    for (std::size_t i = 0; i < std::size(kBaudRates); ++i) {
        if (kBaudRates[i] == baudRate)
            return kCodes[i];
    }
    return std::nullopt;
}

bool setRaw(int fd, speed_t speed)
{
    termios attributes{};
    if (tcgetattr(fd, &attributes) != 0)
        return false;
    cfmakeraw(&attributes);
    attributes.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&attributes, speed);
    cfsetospeed(&attributes, speed);
    return tcsetattr(fd, TCSANOW, &attributes) == 0;
}
#endif

} // namespace

SimulatorServer::SimulatorServer(const SimulatedProjector::Settings &settings, QObject *parent)
    : QObject(parent)
    , projector_(settings)
{
    panelPoll_.setInterval(kPanelPollInterval);
#ifdef Q_OS_UNIX
    connect(&panelPoll_, &QTimer::timeout, this, &SimulatorServer::checkForPanel);
#endif
    sendTimer_.setSingleShot(true);
    sendTimer_.setTimerType(Qt::PreciseTimer);
    connect(&sendTimer_, &QTimer::timeout, this, &SimulatorServer::sendDue);
}

SimulatorServer::~SimulatorServer()
{
    close();
}

bool SimulatorServer::openPseudoTerminal(const QString &linkPath)
{
    close();
#ifndef Q_OS_UNIX
    Q_UNUSED(linkPath);
    return fail(QStringLiteral("pseudo-terminals are POSIX only; listen on a network port"));
#else
    // Close-on-exec: a program started beside the simulator that held the master would keep
    // the line from hanging up when the simulator closes it.
    const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("cannot open a pseudo-terminal"));
    char slave[128];
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, slave, sizeof slave) != 0) {
        ::close(fd);
        return fail(QStringLiteral("cannot set up the pseudo-terminal"));
    }
    // Raw from the start: an echoing line would hand every answer straight back as a command.
    if (!start(fd, true, QString::fromLocal8Bit(slave)))
        return false;
    if (linkPath.isEmpty())
        return true;
    const QFileInfo link(linkPath);
    if (link.exists() && !link.isSymLink()) {
        close();
        return fail(linkPath + QStringLiteral(" exists and is not a symbolic link"));
    }
    if (link.isSymLink())
        QFile::remove(linkPath);
    if (!QFile::link(portName_, linkPath)) {
        close();
        return fail(QStringLiteral("cannot make the link ") + linkPath);
    }
    linkPath_ = linkPath;
    return true;
#endif
}

bool SimulatorServer::openDevice(const QString &devicePath)
{
    close();
#ifndef Q_OS_UNIX
    return fail(devicePath + QStringLiteral(": serving a serial device is POSIX only"));
#else
    const int fd = ::open(QFile::encodeName(devicePath).constData(),
                          O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("cannot open ") + devicePath + QStringLiteral(": ") +
                    qt_error_string(errno));
    return start(fd, false, devicePath);
#endif
}

#ifdef Q_OS_UNIX
bool SimulatorServer::start(int fd, bool pseudoTerminal, const QString &portName)
{
    if (!setRaw(fd, *speedCode(baudRate_))) {
        ::close(fd);
        return fail(QStringLiteral("cannot set up the line of ") + portName);
    }
    fd_ = fd;
    pseudoTerminal_ = pseudoTerminal;
    portName_ = portName;
    errorString_.clear();
    notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SimulatorServer::readLine);
    return true;
}
#endif

bool SimulatorServer::fail(const QString &what)
{
    errorString_ = what;
    return false;
}

void SimulatorServer::dropClient()
{
    if (listener_)
        listener_->dropClient();
}

void SimulatorServer::forgetLine()
{
    sendTimer_.stop();
    outgoing_.clear();
    partial_.clear();
    discarding_ = false;
}

void SimulatorServer::close()
{
    listener_.reset();
    panelPoll_.stop();
    forgetLine();
    notifier_.reset();
#ifdef Q_OS_UNIX
    if (fd_ >= 0)
        ::close(fd_);
#endif
    fd_ = -1;
    if (!linkPath_.isEmpty() && QFileInfo(linkPath_).symLinkTarget() == portName_)
        QFile::remove(linkPath_);
    linkPath_.clear();
}

bool SimulatorServer::setBaudRate(int baudRate)
{
    if (std::ranges::find(kBaudRates, baudRate) == std::end(kBaudRates))
        return false;
    baudRate_ = baudRate;
#ifdef Q_OS_UNIX
    // A pseudo-terminal's speed is the panel's to set; a device runs at the projector's.
    if (fd_ >= 0 && !pseudoTerminal_)
        setRaw(fd_, *speedCode(baudRate));
#endif
    return true;
}

bool SimulatorServer::panelSpeedMatches() const
{
    if (listener_)
        return listener_->speedMatches();
    if (!pseudoTerminal_)
        return true;
#ifdef Q_OS_UNIX
    // The master reports the settings the panel gave the slave.
    termios attributes{};
    return tcgetattr(fd_, &attributes) == 0 && cfgetospeed(&attributes) == *speedCode(baudRate_);
#else
    return true;
#endif
}

#ifdef Q_OS_UNIX
void SimulatorServer::readLine()
{
    const bool speedMatches = panelSpeedMatches();
    for (;;) {
        char buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            hangUp();
            return;
        }
        takeBytes(std::string_view(buffer, std::size_t(n)), speedMatches);
    }
}
#endif

void SimulatorServer::takeBytes(std::string_view bytes, bool speedMatches)
{
    for (const char byte : bytes) {
        partial_.append(byte);
        if (byte == '\r' || partial_.size() == kLongestLine) {
            takeLine(partial_, speedMatches);
            partial_.clear();
        }
    }
}

void SimulatorServer::takeLine(const QByteArray &line, bool speedMatches)
{
    if (!line.endsWith('\r')) {
        discarding_ = true;
        log("in ", line, QStringLiteral("no carriage return: dropped"));
        return;
    }
    if (std::exchange(discarding_, false)) {
        log("in ", line, QStringLiteral("end of a dropped line"));
        return;
    }
    if (!speedMatches) {
        log("in ", line, QStringLiteral("the panel is not at %1 baud: garbled").arg(baudRate_));
        queueAnswer(rubbish());
        return;
    }
    log("in ", line);
    const std::string answer = projector_.receive(line.toStdString(), Clock::now());
    if (!answer.empty())
        queueAnswer(QByteArray::fromStdString(answer));
}

void SimulatorServer::queueAnswer(QByteArray answer)
{
    if (faults_.noAnswer)
        return;
    if (faults_.noise)
        answer.prepend(rubbish());
    auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(faults_.delayMs);
    if (!outgoing_.empty())
        due = std::max(due, outgoing_.back().due);
    if (faults_.pieceGapMs > 0) {
        for (qsizetype i = 0; i < answer.size(); ++i)
            outgoing_.push_back(
                {due + i * std::chrono::milliseconds(faults_.pieceGapMs), answer.sliced(i, 1)});
    } else {
        outgoing_.push_back({due, answer});
    }
    sendDue();
}

void SimulatorServer::sendDue()
{
    const auto now = std::chrono::steady_clock::now();
    while (!outgoing_.empty() && outgoing_.front().due <= now) {
        const QByteArray &bytes = outgoing_.front().bytes;
        const qsizetype done = writeLine(bytes);
        log("out", bytes.first(done),
            done < bytes.size() ? QStringLiteral("cut short") : QString());
        outgoing_.pop_front();
    }
    if (!outgoing_.empty())
        sendTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(outgoing_.front().due - now));
}

qsizetype SimulatorServer::writeLine(const QByteArray &bytes)
{
    if (listener_)
        return listener_->write(bytes) ? bytes.size() : 0;
    qsizetype done = 0;
#ifdef Q_OS_UNIX
    // An answer is a few bytes; the line's buffer holds far more, so one write takes it.
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd_, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
#endif
    return done;
}

#ifdef Q_OS_UNIX
void SimulatorServer::hangUp()
{
    // A pseudo-terminal master keeps reporting a hang-up until the slave is opened again, so
    // the notifier would fire without end; look at the line now and then instead. The master
    // stays open so that the slave path stays valid for the panel's return.
    notifier_->setEnabled(false);
    forgetLine();
    log("---", {}, QStringLiteral("the line was closed at the far end"));
    panelPoll_.start();
}

void SimulatorServer::checkForPanel()
{
    pollfd line{fd_, POLLIN, 0};
    if (::poll(&line, 1, 0) < 0 || (line.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return;
    panelPoll_.stop();
    log("---", {}, QStringLiteral("the line was opened at the far end"));
    notifier_->setEnabled(true);
    if (line.revents & POLLIN)
        readLine();
}
#endif

QByteArray SimulatorServer::rubbish()
{
    // Deterministic, and every byte has its high bit set, so none of them reads as a CR or ACK.
    const auto next = [this] {
        rubbishState_ ^= rubbishState_ << 13;
        rubbishState_ ^= rubbishState_ >> 17;
        rubbishState_ ^= rubbishState_ << 5;
        return rubbishState_;
    };
    QByteArray bytes(2 + next() % 3, '\0');
    for (char &byte : bytes)
        byte = static_cast<char>(0x80 | (next() >> 8));
    return bytes;
}

void SimulatorServer::log(const char *direction, const QByteArray &bytes, const QString &note)
{
    QString line =
        QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz ")) + QLatin1String(direction);
    if (!bytes.isEmpty())
        line += QString::fromStdString(renderTraffic(bytes.toStdString())).trimmed().prepend(u' ');
    if (!note.isEmpty())
        line += QStringLiteral("  (") + note + u')';
    Q_EMIT trafficLogged(line);
}

} // namespace qv7::sim
