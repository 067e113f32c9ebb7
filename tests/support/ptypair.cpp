#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

namespace qv7::test {

QByteArray readFrom(int fd, qsizetype count, int timeoutMs, int quietMs)
{
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd line{fd, POLLIN, 0};
        if (::poll(&line, 1, 5) <= 0 || !(line.revents & POLLIN))
            continue;
        char buffer[4096];
        const ssize_t n =
            ::read(fd, buffer, size_t(std::min<qsizetype>(sizeof buffer, count - received.size())));
        if (n <= 0)
            continue;
        received.append(buffer, n);
        if (quietMs >= 0)
            deadline.setRemainingTime(quietMs);
    }
    return received;
}

double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

PtyPair::PtyPair()
{
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
        throw std::runtime_error("cannot open a pseudo-terminal");
    slavePath_ = QString::fromLocal8Bit(ptsname(master_));
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::closeMaster()
{
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    return readFrom(master_, count, timeoutMs);
}

QByteArray PtyPair::readAll(int quietMs)
{
    return readFrom(master_, std::numeric_limits<qsizetype>::max(), quietMs, quietMs);
}

void PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.constData() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("cannot write to the pseudo-terminal");
        if (n > 0)
            done += n;
        else
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
}

termios PtyPair::attributes() const
{
    termios attributes{};
    tcgetattr(master_, &attributes);
    return attributes;
}

speed_t PtyPair::speed() const
{
    const termios current = attributes();
    return cfgetospeed(&current);
}

bool PtyPair::slaveClosed() const
{
    pollfd fd{master_, POLLIN, 0};
    ::poll(&fd, 1, 0);
    return fd.revents & POLLHUP;
}

} // namespace qv7::test
