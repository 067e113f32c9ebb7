#pragma once

#include "panel/form1.h"
#include "ptypair.h"

#include <QStringList>

#include <memory>

namespace qv7::test {

// The panel started as an operator starts it, with COM1 (and COM2, if given) on
// pseudo-terminals; failures are recorded instead of shown in a modal box.
struct Panel {
    std::unique_ptr<Form1> form;
    QStringList failures;
};

std::unique_ptr<Panel> startPanel(const QString &com1, const QString &com2 = {});

// A device the panel cannot open: one that is missing, or, when busy, the line's slave held
// open by another program (the holder).
QString unavailableDevice(bool busy, const PtyPair &line, SerialControl &holder);

// Whether a control lies entirely outside the window's client area or is hidden.
bool outOfSight(const Form1 &form, const QWidget *control);

} // namespace qv7::test
