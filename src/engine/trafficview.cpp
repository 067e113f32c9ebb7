#include "trafficview.h"

#include "protocol/captions.h"
#include "protocol/rendering.h"

namespace qv7 {

TrafficView::TrafficView(const Line &line, QObject *parent, Clock &clock)
    : QObject(parent)
    , line_(line)
    , timer4_(clock, this)
{
    timer4_.setObjectName(QStringLiteral("Timer4"));
    timer4_.setInterval(kDisplayTimeoutMs);
    connect(&timer4_, &LineTimer::timeout, this, &TrafficView::Timer4_Timer);
    connect(&line, &Line::transmitted, this, [this](const Transmission &transmission) {
        if (hidden())
            return;
        personShown_ = !line_.polling();
        setTxd(QString::fromLatin1(renderTraffic(commandString(transmission.code))));
        timer4_.start(Milliseconds(transmission.displayTimeout));
    });
    connect(&line, &Line::received, this, [this](const Reception &reception) {
        if (hidden())
            return;
        setRxd(QString::fromLatin1(renderTraffic(reception.text)));
        if (reception.reading)
            setStatus(QString::fromLatin1(statusText(*reception.reading)));
    });
    connect(&line, &Line::unanswered, this, [this] {
        if (!hidden())
            setRxd(QString::fromUtf8(kNoReplyCaption.text));
    });
    connect(&line, &Line::released, this, [this] {
        timer4_.start(Milliseconds(kDisplayTimeoutMs));
        setTxd({});
        setRxd({});
    });
}

void TrafficView::Timer4_Timer()
{
    personShown_ = false;
    setTxd({});
    setRxd({});
    setStatus({});
    timer4_.setEnabled(false);
}

void TrafficView::setTxd(const QString &text)
{
    txd_ = text;
    emit txdChanged(txd_);
}

void TrafficView::setRxd(const QString &text)
{
    rxd_ = text;
    emit rxdChanged(rxd_);
}

void TrafficView::setStatus(const QString &text)
{
    status_ = text;
    emit statusChanged(status_);
}

} // namespace qv7
