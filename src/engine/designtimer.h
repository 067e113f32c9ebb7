#pragma once

#include <QTimer>

namespace qv7 {

// A timer with the design's Enabled switch: enabling a running timer restarts its count, and
// so does writing its interval (QTimer::setInterval on a running timer). Every timer is
// precise, since periods go down to 5 ms and coarse timers drift by up to 5 %.
class DesignTimer : public QTimer {
    Q_OBJECT

public:
    DesignTimer(const char *name, int interval, QObject *parent)
        : QTimer(parent)
    {
        setObjectName(QString::fromLatin1(name));
        setTimerType(Qt::PreciseTimer);
        setInterval(interval);
    }

    bool Enabled() const { return isActive(); }
    void setEnabled(bool enabled)
    {
        if (!enabled) {
            stop();
            return;
        }
        start();
        ++starts_;
    }
    // How often it was enabled: a restart shows as one more.
    int starts() const { return starts_; }

private:
    int starts_ = 0;
};

} // namespace qv7
