#include "panelfixture.h"

#include <QApplication>
#include <QTest>

namespace qv7::test {

std::unique_ptr<Panel> startPanel(const QString &com1, const QString &com2, Clock &clock)
{
    auto panel = std::make_unique<Panel>();
    panel->form = std::make_unique<Form1>(nullptr, clock);
    panel->form->setFailurePresenter(
        [raw = panel.get()](const QString &description) { raw->failures.append(description); });
    panel->form->line().setDevice(1, com1);
    if (!com2.isEmpty())
        panel->form->line().setDevice(2, com2);
    panel->form->load();
    // A network port opens once its connection is made.
    if (!QTest::qWaitFor(
            [&panel] { return panel->form->line().isOpen() || !panel->failures.isEmpty(); }, 10000))
        qWarning("the panel's port neither opened nor failed within 10 s");
    return panel;
}

void click(const Form1 &form, const char *name)
{
    QTest::mouseClick(widget<QWidget>(form, name), Qt::LeftButton);
}

void keyDown(Form1 &form, int key, int shift)
{
    QWidget *focus = QApplication::focusWidget();
    QWidget *receiver = focus && focus->window() == &form ? focus : &form;
    Qt::KeyboardModifiers modifiers;
    modifiers.setFlag(Qt::ShiftModifier, shift & 1);
    modifiers.setFlag(Qt::ControlModifier, shift & 2);
    modifiers.setFlag(Qt::AltModifier, shift & 4);
    QTest::keyClick(receiver, Qt::Key(key), modifiers);
}

void holdAt5Milliseconds(Form1 &form)
{
    click(form, "Command48");
    QTest::mousePress(widget<CommandButton>(form, "Command8"), Qt::LeftButton);
    QCOMPARE(form.line().designState().Timer1.interval, 5);
}

HoldCounter::HoldCounter(Form1 &form)
{
    connect(&form.line(), &Line::transmitted, this, [this](const Transmission &sent_) {
        if (sent_.holdSend > 1)
            ++sent;
    });
}

} // namespace qv7::test
