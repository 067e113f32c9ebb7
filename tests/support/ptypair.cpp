#include "ptypair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <unistd.h>

namespace qv7::test {

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
    QByteArray received;
    QDeadlineTimer deadline(timeoutMs);
    while (received.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        pollfd fd{master_, POLLIN, 0};
        if (::poll(&fd, 1, 5) <= 0 || !(fd.revents & POLLIN))
            continue;
        char buffer[4096];
        const ssize_t n = ::read(master_, buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, n);
    }
    return received;
}

QByteArray PtyPair::readAll(int quietMs)
{
    QByteArray received;
    for (;;) {
        const QByteArray more = read(1 << 20, quietMs);
        if (more.isEmpty())
            return received;
        received += more;
    }
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
