#pragma once

#include "clock.h"
#include "line.h"

#include <QObject>
#include <QString>

namespace qv7 {

// The TXD, RXD and status lines of a line as the panel shows them, built from the line's
// signals: each transmission's rendering on TXD, what came back on RXD (or the no-reply mark),
// a reply's reading on the status line, all cleared by the display time-out (Timer4) and TXD
// and RXD by a hold's release. A person's command stays for its display time-out: the shared
// line's own polls are not shown over it.
class TrafficView : public QObject {
    Q_OBJECT

public:
    explicit TrafficView(const Line &line, QObject *parent = nullptr,
                         Clock &clock = Clock::steady());

    const QString &txd() const { return txd_; }
    const QString &rxd() const { return rxd_; }
    const QString &status() const { return status_; }
    // The display time-out as it stands.
    DesignState::Timer Timer4() const { return {timer4_.interval(), timer4_.Enabled()}; }

signals:
    void txdChanged(const QString &text);
    void rxdChanged(const QString &text);
    void statusChanged(const QString &text);

private:
    void Timer4_Timer();
    // What goes on now is a poll, and a person's command is on show.
    bool hidden() const { return line_.polling() && personShown_; }
    void setTxd(const QString &text);
    void setRxd(const QString &text);
    void setStatus(const QString &text);

    const Line &line_;
    LineTimer timer4_;
    bool personShown_ = false;
    QString txd_;
    QString rxd_;
    QString status_;
};

} // namespace qv7
