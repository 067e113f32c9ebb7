#include "widgets.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <qdrawutil.h>

namespace qv7 {

CommandButton::CommandButton(const QString &caption, const QColor &back, QWidget *parent)
    : QPushButton(caption, parent)
    , back_(back)
{
    setAutoDefault(false);
}

void CommandButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const bool sunken = isDown();
    const QBrush fill(back_);
    qDrawWinButton(&painter, rect(), palette(), sunken, &fill);
    const QRect textRect = rect().adjusted(2, 2, -2, -2).translated(sunken ? 1 : 0, sunken ? 1 : 0);
    painter.setPen(palette().color(QPalette::ButtonText));
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextWordWrap, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = rect().adjusted(3, 3, -3, -3);
        focus.backgroundColor = back_;
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

void CommandButton::mousePressEvent(QMouseEvent *event)
{
    emit mouseDown();
    QPushButton::mousePressEvent(event);
    event->accept();
}

void CommandButton::mouseReleaseEvent(QMouseEvent *event)
{
    emit mouseUp();
    QPushButton::mouseReleaseEvent(event);
    event->accept();
}

void CommandButton::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}

void DataLabel::paintEvent(QPaintEvent *event)
{
    // Paint the frame and background as any label, then only the characters that fit.
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect area = contentsRect();
    // No glyph of the panel's fonts is narrower than two pixels.
    const QString shown = text().left(area.width() / 2 + 1);
    painter.setPen(palette().color(QPalette::WindowText));
    painter.drawText(area, static_cast<int>(alignment()) | Qt::TextSingleLine, shown);
}

LineShape::LineShape(QPoint from, QPoint to, int widthPixels, const QColor &colour, QWidget *parent)
    : QWidget(parent)
    , from_(from)
    , to_(to)
{
    const int half = widthPixels / 2;
    const QRect span = QRect(from, to).normalized();
    setGeometry(span.adjusted(-half, -half, widthPixels - half - 1, widthPixels - half - 1));
    setAutoFillBackground(true);
    QPalette linePalette = palette();
    linePalette.setColor(QPalette::Window, colour);
    setPalette(linePalette);
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

} // namespace qv7
