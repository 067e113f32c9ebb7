// Transmission through Hyouji, the reply window, the display time-out and the display toggle.

#include "panel/form1.h"
#include "panel/layout.h"
#include "traffic/decoding.h"
#include "traffic/rendering.h"

namespace qv7 {

void Form1::connectTraffic()
{
    connect(Timer2, &QTimer::timeout, this, guarded([this] { Timer2_Timer(); }));
    connect(Timer4, &QTimer::timeout, this, guarded([this] { Timer4_Timer(); }));
    connect(Command34, &QPushButton::clicked, this, guarded([this] { Command34_Click(); }));
}

void Form1::Hyouji(const std::string &Text, std::uint8_t SendFlag)
{
    if (SendFlag == 1)
        MSComm1->setOutput(Text);
    const std::string rendering = renderTraffic(Text);
    if (SendFlag == 1) {
        Label11->setText(QString::fromLatin1(rendering));
        Timer2->setEnabled(true);
        AwaitingReply = 1;
        Timer4->setEnabled(true);
        return;
    }
    Label12->setText(QString::fromLatin1(rendering));
    if (const auto status = decodeStatus(CurrentCommand, rendering))
        Label25->setText(QString::fromLatin1(*status));
}

void Form1::Timer2_Timer()
{
    if (AwaitingReply == 1)
        Label12->setText(QStringLiteral(" X X X X"));
    Timer2->setEnabled(false);
    ReceivedText.clear();
    AwaitingReply = 0;
}

void Form1::Timer4_Timer()
{
    Label11->setText(QString());
    Label12->setText(QString());
    Label25->setText(QString());
    Timer4->setEnabled(false);
}

void Form1::Command34_Click()
{
    Timer3->setEnabled(false);
    if (Height() < kTallThreshold) {
        setHeight(kDisplayHeight);
        Command34->setText(QStringLiteral("データを表示しない"));
    } else {
        setHeight(kStartHeight);
        Command34->setText(QStringLiteral("データを表示する"));
    }
    Timer3->setEnabled(true);
}

} // namespace qv7
