#pragma once

#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace qv7 {

// A command button in graphical style: it paints its own back colour on every widget style,
// reports presses and releases of any mouse button, which the hold buttons act on, and is
// clicked by Enter as well as Space when it has the focus, as buttons are on the platform the
// panel comes from.
class CommandButton : public QPushButton {
    Q_OBJECT

public:
    CommandButton(const QString &caption, const QColor &back, QWidget *parent);

    QColor backColor() const { return back_; }

signals:
    void mouseDown();
    void mouseUp();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QColor back_;
};

// A label that shows traffic or status text. It draws only as many characters as fit, so a
// line that holds tens of thousands of characters costs no more to show than a short one,
// and it keeps its text as its accessible name.
class DataLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent *event) override;
};

// One of the decorative lines: a solid stroke between two points of the window.
class LineShape : public QWidget {
    Q_OBJECT

public:
    LineShape(QPoint from, QPoint to, int widthPixels, const QColor &colour, QWidget *parent);

    QPoint from() const { return from_; }
    QPoint to() const { return to_; }

private:
    QPoint from_;
    QPoint to_;
};

} // namespace qv7
