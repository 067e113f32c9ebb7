#include "panelfixture.h"

#include <QApplication>
#include <QTest>

namespace qv7::test {

std::unique_ptr<Panel> startPanel(const QString &com1, const QString &com2)
{
    auto panel = std::make_unique<Panel>();
    panel->form = std::make_unique<Form1>();
    Panel *raw = panel.get();
    panel->form->setFailurePresenter(
        [raw](const QString &description) { raw->failures.append(description); });
    SerialControl &port = panel->form->engine().MSComm1();
    port.setDevice(1, com1);
    if (!com2.isEmpty())
        port.setDevice(2, com2);
    panel->form->load();
    panel->form->show();
    return panel;
}

void click(const Form1 &form, const char *name)
{
    QTest::mouseClick(widget<QWidget>(form, name), Qt::LeftButton);
}

QTimer *timer(const Form1 &form, const char *name)
{
    auto *found = form.findChild<QTimer *>(QString::fromLatin1(name));
    if (!found)
        qFatal("the panel has no timer named %s", name);
    return found;
}

void tick(QTimer *timer)
{
    QMetaObject::invokeMethod(timer, "timeout");
}

void keyDown(Form1 &form, int key, int shift)
{
    QWidget *focus = QApplication::focusWidget();
    QWidget *receiver = focus && focus->window() == &form ? focus : &form;
    Qt::KeyboardModifiers modifiers;
    modifiers.setFlag(Qt::ShiftModifier, shift & 1);
    modifiers.setFlag(Qt::ControlModifier, shift & 2);
    modifiers.setFlag(Qt::AltModifier, shift & 4);
    QTest::keyPress(receiver, Qt::Key(key), modifiers);
    QTest::keyRelease(receiver, Qt::Key(key), modifiers);
}

QString unavailableDevice(bool busy, const PtyPair &line, SerialControl &holder)
{
    if (!busy)
        return QStringLiteral("/dev/qv7-no-such-port");
    holder.setDevice(1, line.slavePath());
    holder.setPortOpen(true);
    return line.slavePath();
}

bool outOfSight(const Form1 &form, const QWidget *control)
{
    if (!control->isVisibleTo(&form))
        return true;
    const QRect area(control->mapTo(&form, QPoint(0, 0)), control->size());
    return !area.intersects(form.rect());
}

void holdAt5Milliseconds(Form1 &form)
{
    QTest::mousePress(widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QTest::mouseRelease(widget<CommandButton>(form, "Command48"), Qt::LeftButton);
    QTest::mousePress(widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    QCOMPARE(timer(form, "Timer1")->interval(), 5);
}

HoldCounter::HoldCounter(Form1 &form)
{
    connect(timer(form, "Timer1"), &QTimer::timeout, this, [this, &form] {
        if (form.engine().HeldButton() != 0)
            ++sent;
    });
}

} // namespace qv7::test
