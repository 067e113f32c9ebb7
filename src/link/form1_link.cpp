// Start-up, the key command, the end of the program, port and speed selection, and reception.

#include "panel/form1.h"
#include "panel/layout.h"
#include "traffic/rendering.h"

#include <QScreen>

#include <optional>

namespace qv7 {

namespace {

const QString kFastSettings = QStringLiteral("19200,N,8,1");
const QString kSlowSettings = QStringLiteral("9600,N,8,1");

} // namespace

void Form1::connectLink()
{
    connect(Command16, &QPushButton::clicked, this, guarded([this] { Command16_Click(); }));
    connect(Command33, &QPushButton::clicked, this, guarded([this] { Command33_Click(); }));
    connect(Option1, &QRadioButton::clicked, this, guarded([this] { Option1_Click(); }));
    connect(Option2, &QRadioButton::clicked, this, guarded([this] { Option2_Click(); }));
    connect(Option3, &QRadioButton::clicked, this, guarded([this] { Option3_Click(); }));
    connect(Option4, &QRadioButton::clicked, this, guarded([this] { Option4_Click(); }));
    connect(MSComm1, &SerialControl::OnComm, this, guarded([this] { MSComm1_OnComm(); }));
    connect(MSComm1, &SerialControl::deviceLost, this, [this](const QString &description) {
        endHold();
        reportFailure(description);
    });
}

void Form1::Form_Load()
{
    const QRect screenPixels = screen()->geometry();
    const float screenWidth = static_cast<float>(screenPixels.width() * kTwipsPerPixel);
    const float screenHeight = static_cast<float>(screenPixels.height() * kTwipsPerPixel);
    setLeft((screenWidth - static_cast<float>(formLayout().width)) / 2);
    setTop((screenHeight - Height()) / 2);
    setHeight(kStartHeight);
    HeldButton = 0;
    AwaitingReply = 0;
    ReceivedText.clear();
    PortSettings = kFastSettings;
    MSComm1->setCommPort(1);
    MSComm1->setSettings(PortSettings);
    MSComm1->setPortOpen(true);
    // Selecting "COM1" by code runs its port switch, as a click would.
    Option1->setChecked(true);
    Option1_Click();
}

void Form1::Form_KeyDown(int KeyCode, int Shift)
{
    if (KeyCode != Qt::Key_J || (Shift & 7) != 2)
        return;
    setHeight(kFullHeight);
    Command34->setText(QStringLiteral("CLOSE"));
    Command34->setVisible(true);
}

void Form1::Command16_Click()
{
    MSComm1->setPortOpen(false);
    // The last window closing ends the program.
    close();
}

void Form1::Command33_Click()
{
    Frame8->setVisible(true);
    Timer3->setEnabled(true);
}

void Form1::Option1_Click()
{
    switchPort(1, 2);
}
void Form1::Option2_Click()
{
    switchPort(2, 1);
}
void Form1::Option3_Click()
{
    chooseSpeed(kFastSettings);
}
void Form1::Option4_Click()
{
    chooseSpeed(kSlowSettings);
}

void Form1::switchPort(short chosen, short other)
{
    // Every step runs even when an earlier one failed; the most recent failure is the one
    // shown. A closed port is opened on the chosen port, so that the operator can recover
    // from a failed switch or a failed start-up by choosing a port that works.
    std::optional<QString> failure;
    const auto attempt = [&failure](const auto &step) {
        try {
            step();
        } catch (const CommError &error) {
            failure = error.description();
        }
    };
    attempt([this] {
        if (MSComm1->PortOpen())
            MSComm1->setPortOpen(false);
    });
    attempt([this, chosen] { MSComm1->setCommPort(chosen); });
    if (!failure)
        attempt([this] { MSComm1->setPortOpen(true); });
    if (failure) {
        showFailureNow(*failure);
        try {
            MSComm1->setCommPort(other);
        } catch (const CommError &) {
            // The port number stays as it is; the failure has been shown already.
        }
        return;
    }
    Frame8->setVisible(false);
}

void Form1::chooseSpeed(const QString &settings)
{
    PortSettings = settings;
    MSComm1->setSettings(PortSettings);
    Frame8->setVisible(false);
}

void Form1::MSComm1_OnComm()
{
    if (MSComm1->CommEvent() != SerialControl::comEvReceive)
        return;
    ReceivedText += MSComm1->Input();
    // Data that keeps coming without a transmit to close the reply window is kept to the
    // newest part that the traffic line can render.
    if (ReceivedText.size() > kMaxRenderedChars)
        ReceivedText.erase(0, ReceivedText.size() - kMaxRenderedChars);
    AwaitingReply = 0;
    Hyouji(ReceivedText, 2);
}

} // namespace qv7
