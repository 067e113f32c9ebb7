#pragma once

#include "panel/form1.h"
#include "panel/widgets.h"
#include "ptypair.h"

#include <QFrame>
#include <QLabel>
#include <QRadioButton>

#include <memory>

namespace qv7::test {

// The panel started as an operator starts it, with COM1 (and COM2, if given) on pseudo-terminals;
// failures are recorded instead of shown in a modal box.
struct Panel {
    std::unique_ptr<Form1> form;
    QStringList failures;
};
std::unique_ptr<Panel> startPanel(const QString &com1, const QString &com2 = {},
                                  Clock &clock = Clock::steady());

// A control or timer of the window by its design name; the test fails hard when there is none.
template <typename Widget> Widget *widget(const Form1 &form, const char *name)
{
    auto *found = qobject_cast<Widget *>(form.control(QString::fromLatin1(name)));
    if (!found)
        qFatal("the panel has no %s named %s", Widget::staticMetaObject.className(), name);
    return found;
}
void click(const Form1 &form, const char *name);

// A key going down as the platform delivers it, to the focused control or else the window; shift
// holds the design's modifier bits (1 Shift, 2 Ctrl, 4 Alt).
void keyDown(Form1 &form, int key, int shift);

// Brings the arrows to a 5 ms repeat (a D.Zoom release) and holds "right".
void holdAt5Milliseconds(Form1 &form);

// Counts the commands a hold repeats; the press itself is the caller's to count.
class HoldCounter : public QObject {
public:
    explicit HoldCounter(Form1 &form);
    long sent = 0;
};

} // namespace qv7::test
