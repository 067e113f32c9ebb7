#pragma once

#include "link/serialcontrol.h"
#include "panel/paneltimer.h"
#include "panel/widgets.h"

#include <QFrame>
#include <QHash>
#include <QLabel>
#include <QRadioButton>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>

namespace qv7 {

struct HoldCommand;
struct OneShotCommand;

// The panel's one window. Controls, window-level variables and handlers carry their design
// names; each subsystem defines its handlers in its own folder (link/, traffic/, commands/).
class Form1 : public QWidget {
    Q_OBJECT

public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // Runs Form_Load under the window's failure rule; call once before showing the window.
    void load();

    // How a failure reaches the operator; by default a warning box titled "QV7RSC". Tests
    // put a function here that records instead of blocking on a modal box.
    using FailurePresenter = std::function<void(const QString &description)>;
    void setFailurePresenter(FailurePresenter presenter);

    // The window's outer height and position in twips, title bar and borders included.
    float Height() const { return height_; }
    void setHeight(float twips);
    void setLeft(float twips);
    void setTop(float twips);

    QWidget *control(const QString &name) const { return controls_.value(name); }

    // Window-level variables.
    std::string CurrentCommand;
    std::string ReceivedText;
    std::uint8_t AwaitingReply = 0;
    std::uint8_t HeldButton = 0;
    std::uint8_t ArrowMode = 0;
    QString PortSettings = QStringLiteral("19200,N,8,1");

    // Start-up, key command, end, port and speed selection, reception (link/).
    void Form_Load();
    void Form_KeyDown(int KeyCode, int Shift);
    void Command16_Click();
    void Command33_Click();
    void Option1_Click();
    void Option2_Click();
    void Option3_Click();
    void Option4_Click();
    void MSComm1_OnComm();

    // Transmission, rendering, reply window, display time-out and display toggle (traffic/).
    void Hyouji(const std::string &Text, std::uint8_t SendFlag);
    void Timer2_Timer();
    void Timer4_Timer();
    void Command34_Click();

    // One-shot buttons, hold buttons and their timers (commands/).
    void Command3_Click();
    void Command4_Click();
    void Command10_Click();
    void Command11_Click();
    void Command13_Click();
    void Command14_Click();
    void Command17_Click();
    void Command18_Click();
    void Command19_Click();
    void Command20_Click();
    void Command21_Click();
    void Command22_Click();
    void Command23_Click();
    void Command24_Click();
    void Command25_Click();
    void Command26_Click();
    void Command27_Click();
    void Command28_Click();
    void Command29_Click();
    void Command31_Click();
    void Command32_Click();
    void Command41_Click();
    void Command43_Click();
    void Command44_Click();
    void Command45_Click();
    void Command46_Click();
    void Command47_Click();
    void Command52_Click();
    void Command1_MouseDown();
    void Command1_MouseUp();
    void Command2_MouseDown();
    void Command2_MouseUp();
    void Command5_MouseDown();
    void Command5_MouseUp();
    void Command6_MouseDown();
    void Command6_MouseUp();
    void Command7_MouseDown();
    void Command7_MouseUp();
    void Command8_MouseDown();
    void Command8_MouseUp();
    void Command9_MouseDown();
    void Command9_MouseUp();
    void Command15_MouseDown();
    void Command15_MouseUp();
    void Command35_MouseDown();
    void Command35_MouseUp();
    void Command36_MouseDown();
    void Command36_MouseUp();
    void Command37_MouseDown();
    void Command37_MouseUp();
    void Command48_MouseDown();
    void Command48_MouseUp();
    void Command49_MouseDown();
    void Command49_MouseUp();
    void Command50_MouseDown();
    void Command50_MouseUp();
    void Command51_MouseDown();
    void Command51_MouseUp();
    void Command59_MouseDown();
    void Command59_MouseUp();
    void Command62_MouseDown();
    void Command62_MouseUp();
    void Timer1_Timer();
    void Timer3_Timer();
    void Timer5_Timer();

    // Controls.
    QFrame *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr, *Frame4 = nullptr;
    QFrame *Frame5 = nullptr, *Frame6 = nullptr, *Frame7 = nullptr, *Frame8 = nullptr;
    QFrame *Frame9 = nullptr, *Frame10 = nullptr, *Frame11 = nullptr, *Frame15 = nullptr;
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr;
    QLabel *Label5 = nullptr, *Label6 = nullptr, *Label7 = nullptr, *Label8 = nullptr;
    QLabel *Label9 = nullptr, *Label10 = nullptr, *Label11 = nullptr, *Label12 = nullptr;
    QLabel *Label13 = nullptr, *Label14 = nullptr, *Label17 = nullptr, *Label18 = nullptr;
    QLabel *Label20 = nullptr, *Label25 = nullptr, *Label26 = nullptr;
    CommandButton *Command1 = nullptr, *Command2 = nullptr, *Command3 = nullptr;
    CommandButton *Command4 = nullptr, *Command5 = nullptr, *Command6 = nullptr;
    CommandButton *Command7 = nullptr, *Command8 = nullptr, *Command9 = nullptr;
    CommandButton *Command10 = nullptr, *Command11 = nullptr, *Command13 = nullptr;
    CommandButton *Command14 = nullptr, *Command15 = nullptr, *Command16 = nullptr;
    CommandButton *Command17 = nullptr, *Command18 = nullptr, *Command19 = nullptr;
    CommandButton *Command20 = nullptr, *Command21 = nullptr, *Command22 = nullptr;
    CommandButton *Command23 = nullptr, *Command24 = nullptr, *Command25 = nullptr;
    CommandButton *Command26 = nullptr, *Command27 = nullptr, *Command28 = nullptr;
    CommandButton *Command29 = nullptr, *Command31 = nullptr, *Command32 = nullptr;
    CommandButton *Command33 = nullptr, *Command34 = nullptr, *Command35 = nullptr;
    CommandButton *Command36 = nullptr, *Command37 = nullptr, *Command41 = nullptr;
    CommandButton *Command43 = nullptr, *Command44 = nullptr, *Command45 = nullptr;
    CommandButton *Command46 = nullptr, *Command47 = nullptr, *Command48 = nullptr;
    CommandButton *Command49 = nullptr, *Command50 = nullptr, *Command51 = nullptr;
    CommandButton *Command52 = nullptr, *Command59 = nullptr, *Command62 = nullptr;
    QRadioButton *Option1 = nullptr, *Option2 = nullptr, *Option3 = nullptr, *Option4 = nullptr;
    LineShape *Line1 = nullptr, *Line2 = nullptr, *Line3 = nullptr, *Line4 = nullptr;
    LineShape *Line5 = nullptr, *Line6 = nullptr, *Line7 = nullptr, *Line8 = nullptr;
    LineShape *Line9 = nullptr, *Line10 = nullptr, *Line11 = nullptr, *Line12 = nullptr;
    QLabel *Image1 = nullptr;
    PanelTimer *Timer1 = nullptr, *Timer2 = nullptr, *Timer3 = nullptr, *Timer4 = nullptr;
    PanelTimer *Timer5 = nullptr;
    SerialControl *MSComm1 = nullptr;

signals:
    // Every failure that reaches the operator, as it is shown.
    void failureReported(const QString &description);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildControls();
    void bindControls();
    void connectLink();
    void connectTraffic();
    void connectCommands();

    // The failure rule of the window: a handler ends at its failing step and the operator
    // hears of it once, however many failures a burst brings.
    template <typename Handler> auto guarded(Handler handler)
    {
        return [this, handler] { runGuarded(handler); };
    }
    void runGuarded(const std::function<void()> &handler);
    void reportFailure(const QString &description);
    // Shows a failure at once and waits for the operator, as the port switch does.
    void showFailureNow(const QString &description);

    void sendCommand(std::string_view code);
    void clickOneShot(const OneShotCommand &command);
    void pressHoldButton(const HoldCommand &command);
    void releaseHoldButton(const HoldCommand &command);
    void switchPort(short chosen, short other);
    void chooseSpeed(const QString &settings);
    void endHold();

    QHash<QString, QWidget *> controls_;
    FailurePresenter presenter_;
    bool reportPending_ = false;
    bool reportShowing_ = false;
    float height_ = 0;
};

} // namespace qv7
