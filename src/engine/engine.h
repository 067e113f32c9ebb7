#pragma once

#include "designtimer.h"
#include "serialcontrol.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <string>
#include <string_view>

namespace qv7 {

struct HoldCommand;
struct OneShotCommand;

// The line's behaviour without a window: transmission through Hyouji and its traffic
// renderings, reception, the reply window, the display time-out, status decoding, the hold
// repetition with its arrow modes, and the port and speed switch. Front ends call the
// handlers and show the TXD, RXD and status texts it announces.
//
// Failure rule: a handler ends at its failing step, and each burst of failures is reported
// once through failed(), from the event loop, so that no report opens inside the port's own
// call stack. A hold that a failure ends is released as the mouse would release it.
class Engine : public QObject {
    Q_OBJECT

public:
    explicit Engine(QObject *parent = nullptr);
    ~Engine() override;

    SerialControl &MSComm1() { return comm_; }
    const SerialControl &MSComm1() const { return comm_; }

    // The device that a port number stands for, and how long a network port may take to
    // connect; both count from the next open.
    void setDevice(short port, const QString &device) { comm_.setDevice(port, device); }
    void setConnectTimeout(int milliseconds) { comm_.setConnectTimeout(milliseconds); }
    void setPortName(const QString &name) { comm_.setPortName(name); }

    // Start values of the variables, then COM1 opened at 19200 baud; false if it failed.
    bool start();
    // A one-shot button's click, a hold button's press and release. A click is false when
    // its command could not be sent.
    bool click(const OneShotCommand &command);
    // A code that no button stands for, such as a raw code from a script, sent as a click
    // sends it; the reply to a query code is decoded all the same.
    bool send(std::string_view code);
    void press(const HoldCommand &command);
    void release(const HoldCommand &command);
    // Closes the port and opens port 1 or 2 instead; a failure is reported at once and the
    // other port number is kept for the next try. True when the chosen port is open.
    bool switchPort(short chosen);
    // True when the line took the settings (or the port is closed and keeps them).
    bool chooseSpeed(std::string_view settings);
    bool closePort();

    // Ticks of the repeat timer, the reply window and the display time-out.
    void Timer1_Timer();
    void Timer2_Timer();
    void Timer4_Timer();

    const std::string &CurrentCommand() const { return currentCommand_; }
    const std::string &ReceivedText() const { return receivedText_; }
    std::uint8_t AwaitingReply() const { return awaitingReply_; }
    std::uint8_t HeldButton() const { return heldButton_; }
    std::uint8_t ArrowMode() const { return arrowMode_; }
    const QString &PortSettings() const { return portSettings_; }

    const QString &txd() const { return txd_; }
    const QString &rxd() const { return rxd_; }
    const QString &status() const { return status_; }

signals:
    void txdChanged(const QString &text);
    void rxdChanged(const QString &text);
    void statusChanged(const QString &text);
    void portOpenChanged(bool open);
    // A network port is connecting: the window shows it is busy.
    void connectingChanged(bool connecting);
    // One failure a burst, as an operator should read it.
    void failed(const qv7::Failure &failure);

private:
    void Hyouji(const std::string &Text, std::uint8_t SendFlag);
    void MSComm1_OnComm();
    void sendCommand(std::string_view code);
    void pressSteps(const HoldCommand &command);
    void releaseSteps(const HoldCommand &command);
    void setTxd(const QString &text);
    void setRxd(const QString &text);
    void setStatus(const QString &text);

    template <typename Handler> bool guarded(Handler handler);
    void reportFailure(const Failure &failure);

    SerialControl comm_;
    DesignTimer timer1_;
    DesignTimer timer2_;
    DesignTimer timer4_;

    std::string currentCommand_;
    std::string receivedText_;
    std::uint8_t awaitingReply_ = 0;
    std::uint8_t heldButton_ = 0;
    std::uint8_t arrowMode_ = 0;
    QString portSettings_;
    // The hold button that is down: its release, or a failure first, ends the hold.
    const HoldCommand *pressed_ = nullptr;
    bool reportPending_ = false;

    QString txd_;
    QString rxd_;
    QString status_;
};

} // namespace qv7
