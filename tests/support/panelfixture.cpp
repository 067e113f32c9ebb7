#include "panelfixture.h"

namespace qv7::test {

std::unique_ptr<Panel> startPanel(const QString &com1, const QString &com2)
{
    auto panel = std::make_unique<Panel>();
    panel->form = std::make_unique<Form1>();
    Panel *raw = panel.get();
    panel->form->setFailurePresenter(
        [raw](const QString &description) { raw->failures.append(description); });
    panel->form->MSComm1->setDevice(1, com1);
    if (!com2.isEmpty())
        panel->form->MSComm1->setDevice(2, com2);
    panel->form->load();
    panel->form->show();
    return panel;
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

} // namespace qv7::test
