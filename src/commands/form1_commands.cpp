// One-shot buttons, press-and-hold buttons, the repeat timer and the port panel's timer.

#include "commands/commandtable.h"
#include "panel/form1.h"

#include <array>

namespace qv7 {

namespace {

struct ClickBinding {
    CommandButton *Form1::*button;
    void (Form1::*click)();
};

struct HoldBinding {
    CommandButton *Form1::*button;
    void (Form1::*mouseDown)();
    void (Form1::*mouseUp)();
};

constexpr std::array<ClickBinding, 28> kClickBindings{{
    {&Form1::Command3, &Form1::Command3_Click},   {&Form1::Command4, &Form1::Command4_Click},
    {&Form1::Command10, &Form1::Command10_Click}, {&Form1::Command11, &Form1::Command11_Click},
    {&Form1::Command13, &Form1::Command13_Click}, {&Form1::Command14, &Form1::Command14_Click},
    {&Form1::Command17, &Form1::Command17_Click}, {&Form1::Command18, &Form1::Command18_Click},
    {&Form1::Command19, &Form1::Command19_Click}, {&Form1::Command20, &Form1::Command20_Click},
    {&Form1::Command21, &Form1::Command21_Click}, {&Form1::Command22, &Form1::Command22_Click},
    {&Form1::Command23, &Form1::Command23_Click}, {&Form1::Command24, &Form1::Command24_Click},
    {&Form1::Command25, &Form1::Command25_Click}, {&Form1::Command26, &Form1::Command26_Click},
    {&Form1::Command27, &Form1::Command27_Click}, {&Form1::Command28, &Form1::Command28_Click},
    {&Form1::Command29, &Form1::Command29_Click}, {&Form1::Command31, &Form1::Command31_Click},
    {&Form1::Command32, &Form1::Command32_Click}, {&Form1::Command41, &Form1::Command41_Click},
    {&Form1::Command43, &Form1::Command43_Click}, {&Form1::Command44, &Form1::Command44_Click},
    {&Form1::Command45, &Form1::Command45_Click}, {&Form1::Command46, &Form1::Command46_Click},
    {&Form1::Command47, &Form1::Command47_Click}, {&Form1::Command52, &Form1::Command52_Click},
}};

constexpr std::array<HoldBinding, 17> kHoldBindings{{
    {&Form1::Command1, &Form1::Command1_MouseDown, &Form1::Command1_MouseUp},
    {&Form1::Command2, &Form1::Command2_MouseDown, &Form1::Command2_MouseUp},
    {&Form1::Command5, &Form1::Command5_MouseDown, &Form1::Command5_MouseUp},
    {&Form1::Command6, &Form1::Command6_MouseDown, &Form1::Command6_MouseUp},
    {&Form1::Command7, &Form1::Command7_MouseDown, &Form1::Command7_MouseUp},
    {&Form1::Command8, &Form1::Command8_MouseDown, &Form1::Command8_MouseUp},
    {&Form1::Command9, &Form1::Command9_MouseDown, &Form1::Command9_MouseUp},
    {&Form1::Command15, &Form1::Command15_MouseDown, &Form1::Command15_MouseUp},
    {&Form1::Command35, &Form1::Command35_MouseDown, &Form1::Command35_MouseUp},
    {&Form1::Command36, &Form1::Command36_MouseDown, &Form1::Command36_MouseUp},
    {&Form1::Command37, &Form1::Command37_MouseDown, &Form1::Command37_MouseUp},
    {&Form1::Command48, &Form1::Command48_MouseDown, &Form1::Command48_MouseUp},
    {&Form1::Command49, &Form1::Command49_MouseDown, &Form1::Command49_MouseUp},
    {&Form1::Command50, &Form1::Command50_MouseDown, &Form1::Command50_MouseUp},
    {&Form1::Command51, &Form1::Command51_MouseDown, &Form1::Command51_MouseUp},
    {&Form1::Command59, &Form1::Command59_MouseDown, &Form1::Command59_MouseUp},
    {&Form1::Command62, &Form1::Command62_MouseDown, &Form1::Command62_MouseUp},
}};

const OneShotCommand &oneShot(std::string_view control)
{
    return *findOneShot(control);
}
const HoldCommand &hold(std::string_view control)
{
    return *findHold(control);
}

} // namespace

void Form1::connectCommands()
{
    for (const auto &[button, click] : kClickBindings)
        connect(this->*button, &QPushButton::clicked, this,
                guarded([this, click] { (this->*click)(); }));
    // Hold buttons act on the mouse alone: they have no click action, so a key that would
    // click a focused button sends nothing.
    for (const auto &[button, mouseDown, mouseUp] : kHoldBindings) {
        connect(this->*button, &CommandButton::mouseDown, this,
                guarded([this, mouseDown] { (this->*mouseDown)(); }));
        connect(this->*button, &CommandButton::mouseUp, this,
                guarded([this, mouseUp] { (this->*mouseUp)(); }));
    }
    connect(Timer1, &QTimer::timeout, this, guarded([this] { Timer1_Timer(); }));
    connect(Timer3, &QTimer::timeout, this, guarded([this] { Timer3_Timer(); }));
    connect(Timer5, &QTimer::timeout, this, guarded([this] { Timer5_Timer(); }));
}

void Form1::sendCommand(std::string_view code)
{
    CurrentCommand = commandString(code);
    Hyouji(CurrentCommand, 1);
}

void Form1::clickOneShot(const OneShotCommand &command)
{
    sendCommand(command.code);
    if (command.kind != OneShotKind::ArrowMode)
        return;
    Timer1->setInterval(command.repeatInterval);
    ArrowMode = command.arrowMode;
}

void Form1::pressHoldButton(const HoldCommand &command)
{
    if (!command.timings) {
        // An arrow takes its reply window and display time-out from the arrow mode and
        // repeats at whatever period the repeat timer was last given.
        if (const ArrowProfile *profile = findArrowProfile(ArrowMode)) {
            Timer2->setInterval(profile->replyWindow);
            Timer4->setInterval(profile->displayTimeout);
        }
        HeldButton = command.heldButton;
        sendCommand(command.code);
        Timer1->setEnabled(true);
        return;
    }
    HeldButton = command.heldButton;
    sendCommand(command.code);
    Timer1->setInterval(command.timings->repeat);
    Timer2->setInterval(command.timings->replyWindow);
    Timer4->setInterval(command.timings->displayTimeout);
    Timer1->setEnabled(true);
}

void Form1::releaseHoldButton(const HoldCommand &command)
{
    endHold();
    Timer2->setEnabled(false);
    Timer4->setEnabled(true);
    Label11->setText(QString());
    Label12->setText(QString());
    Timer2->setInterval(kReplyWindowMs);
    Timer4->setInterval(kDisplayTimeoutMs);
    ReceivedText.clear();
    if (command.digitalZoom) {
        Timer1->setInterval(kDigitalZoomRepeatMs);
        ArrowMode = kDigitalZoomArrowMode;
    }
}

void Form1::endHold()
{
    HeldButton = 0;
    Timer1->setEnabled(false);
}

void Form1::Timer1_Timer()
{
    if (HeldButton == 0)
        return;
    const HoldCommand *held = findHeldButton(HeldButton);
    if (!held)
        return;
    // The running timer keeps its schedule, so the period does not drift by the time each
    // tick takes. A tick that cannot send ends the hold: one failure, one report.
    try {
        sendCommand(held->code);
    } catch (const CommError &) {
        endHold();
        throw;
    }
}

void Form1::Timer3_Timer()
{
    Frame8->setVisible(false);
    Timer3->setEnabled(false);
}

void Form1::Timer5_Timer()
{
    sendCommand("C00");
    Timer5->setEnabled(false);
}

void Form1::Command3_Click()
{
    clickOneShot(oneShot("Command3"));
}
void Form1::Command4_Click()
{
    clickOneShot(oneShot("Command4"));
}
void Form1::Command10_Click()
{
    clickOneShot(oneShot("Command10"));
}
void Form1::Command11_Click()
{
    clickOneShot(oneShot("Command11"));
}
void Form1::Command13_Click()
{
    clickOneShot(oneShot("Command13"));
}
void Form1::Command14_Click()
{
    clickOneShot(oneShot("Command14"));
}
void Form1::Command17_Click()
{
    clickOneShot(oneShot("Command17"));
}
void Form1::Command18_Click()
{
    clickOneShot(oneShot("Command18"));
}
void Form1::Command19_Click()
{
    clickOneShot(oneShot("Command19"));
}
void Form1::Command20_Click()
{
    clickOneShot(oneShot("Command20"));
}
void Form1::Command21_Click()
{
    clickOneShot(oneShot("Command21"));
}
void Form1::Command22_Click()
{
    clickOneShot(oneShot("Command22"));
}
void Form1::Command23_Click()
{
    clickOneShot(oneShot("Command23"));
}
void Form1::Command24_Click()
{
    clickOneShot(oneShot("Command24"));
}
void Form1::Command25_Click()
{
    clickOneShot(oneShot("Command25"));
}
void Form1::Command26_Click()
{
    clickOneShot(oneShot("Command26"));
}
void Form1::Command27_Click()
{
    clickOneShot(oneShot("Command27"));
}
void Form1::Command28_Click()
{
    clickOneShot(oneShot("Command28"));
}
void Form1::Command29_Click()
{
    clickOneShot(oneShot("Command29"));
}
void Form1::Command31_Click()
{
    clickOneShot(oneShot("Command31"));
}
void Form1::Command32_Click()
{
    clickOneShot(oneShot("Command32"));
}
void Form1::Command41_Click()
{
    clickOneShot(oneShot("Command41"));
}
void Form1::Command43_Click()
{
    clickOneShot(oneShot("Command43"));
}
void Form1::Command44_Click()
{
    clickOneShot(oneShot("Command44"));
}
void Form1::Command45_Click()
{
    clickOneShot(oneShot("Command45"));
}
void Form1::Command46_Click()
{
    clickOneShot(oneShot("Command46"));
}
void Form1::Command47_Click()
{
    clickOneShot(oneShot("Command47"));
}
void Form1::Command52_Click()
{
    clickOneShot(oneShot("Command52"));
}

void Form1::Command1_MouseDown()
{
    pressHoldButton(hold("Command1"));
}
void Form1::Command1_MouseUp()
{
    releaseHoldButton(hold("Command1"));
}
void Form1::Command2_MouseDown()
{
    pressHoldButton(hold("Command2"));
}
void Form1::Command2_MouseUp()
{
    releaseHoldButton(hold("Command2"));
}
void Form1::Command5_MouseDown()
{
    pressHoldButton(hold("Command5"));
}
void Form1::Command5_MouseUp()
{
    releaseHoldButton(hold("Command5"));
}
void Form1::Command6_MouseDown()
{
    pressHoldButton(hold("Command6"));
}
void Form1::Command6_MouseUp()
{
    releaseHoldButton(hold("Command6"));
}
void Form1::Command7_MouseDown()
{
    pressHoldButton(hold("Command7"));
}
void Form1::Command7_MouseUp()
{
    releaseHoldButton(hold("Command7"));
}
void Form1::Command8_MouseDown()
{
    pressHoldButton(hold("Command8"));
}
void Form1::Command8_MouseUp()
{
    releaseHoldButton(hold("Command8"));
}
void Form1::Command9_MouseDown()
{
    pressHoldButton(hold("Command9"));
}
void Form1::Command9_MouseUp()
{
    releaseHoldButton(hold("Command9"));
}
void Form1::Command15_MouseDown()
{
    pressHoldButton(hold("Command15"));
}
void Form1::Command15_MouseUp()
{
    releaseHoldButton(hold("Command15"));
}
void Form1::Command35_MouseDown()
{
    pressHoldButton(hold("Command35"));
}
void Form1::Command35_MouseUp()
{
    releaseHoldButton(hold("Command35"));
}
void Form1::Command36_MouseDown()
{
    pressHoldButton(hold("Command36"));
}
void Form1::Command36_MouseUp()
{
    releaseHoldButton(hold("Command36"));
}
void Form1::Command37_MouseDown()
{
    pressHoldButton(hold("Command37"));
}
void Form1::Command37_MouseUp()
{
    releaseHoldButton(hold("Command37"));
}
void Form1::Command48_MouseDown()
{
    pressHoldButton(hold("Command48"));
}
void Form1::Command48_MouseUp()
{
    releaseHoldButton(hold("Command48"));
}
void Form1::Command49_MouseDown()
{
    pressHoldButton(hold("Command49"));
}
void Form1::Command49_MouseUp()
{
    releaseHoldButton(hold("Command49"));
}
void Form1::Command50_MouseDown()
{
    pressHoldButton(hold("Command50"));
}
void Form1::Command50_MouseUp()
{
    releaseHoldButton(hold("Command50"));
}
void Form1::Command51_MouseDown()
{
    pressHoldButton(hold("Command51"));
}
void Form1::Command51_MouseUp()
{
    releaseHoldButton(hold("Command51"));
}
void Form1::Command59_MouseDown()
{
    pressHoldButton(hold("Command59"));
}
void Form1::Command59_MouseUp()
{
    releaseHoldButton(hold("Command59"));
}
void Form1::Command62_MouseDown()
{
    pressHoldButton(hold("Command62"));
}
void Form1::Command62_MouseUp()
{
    releaseHoldButton(hold("Command62"));
}

} // namespace qv7
