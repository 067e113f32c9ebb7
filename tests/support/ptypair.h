#pragma once

#include <QByteArray>
#include <QString>

#include <termios.h>

namespace qv7::test {

// Reads a descriptor while the application's events go on: until count bytes came or
// timeoutMs is up; with quietMs, each arrival gives the line quietMs more.
QByteArray readFrom(int fd, qsizetype count, int timeoutMs, int quietMs = -1);

// CPU time of the whole process, in seconds: a port that spins shows here.
double processCpuSeconds();

// A pseudo-terminal pair: the panel opens the slave as its serial device; the test owns the
// master and sees exactly the bytes of the line, and the line settings the panel set.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    QString slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }

    // Waits, processing the application's events, until count bytes came or the time is up.
    QByteArray read(int count, int timeoutMs = 5000);
    // Everything that arrives until the line has been quiet for quietMs.
    QByteArray readAll(int quietMs = 100);
    void write(const QByteArray &bytes);

    // The slave's settings, as the panel gave them (Linux applies them to both sides).
    termios attributes() const;
    speed_t speed() const;

    // True once every slave descriptor is closed (the master reads EIO).
    bool slaveClosed() const;

    void closeMaster();

private:
    int master_ = -1;
    QString slavePath_;
};

} // namespace qv7::test
