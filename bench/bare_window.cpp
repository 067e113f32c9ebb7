// The floor for the panel's start-up: a Qt window with a serial port open on the device the
// command line names, and nothing else. With --text, a line of text in it as well, so that
// the floor finds and loads a font as every real window does. With --controls, the window's
// controls from the panel's layout table as plain Qt widgets in the design's fonts: what Qt
// itself takes for the design's window, with no engine, no network and no port switch.

#include "layout/layout.h"
#include "panel/fonts.h"

#include <QApplication>
#include <QFrame>
#include <QHash>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSerialPort>

namespace {

void buildControls(QWidget &window)
{
    using namespace qv7;
    window.setFont(designFont(formLayout().font));
    QHash<QString, QWidget *> containers;
    for (const ControlLayout &layout : controlLayouts()) {
        QWidget *parent = layout.container.empty()
                              ? &window
                              : containers.value(QString::fromUtf8(layout.container));
        const QString caption = QString::fromUtf8(layout.caption);
        QWidget *widget = nullptr;
        switch (layout.type) {
        case ControlType::Frame:
            widget = new QFrame(parent);
            containers.insert(QString::fromUtf8(layout.name), widget);
            break;
        case ControlType::Label:
            widget = new QLabel(caption, parent);
            break;
        case ControlType::CommandButton:
            widget = new QPushButton(caption, parent);
            break;
        case ControlType::OptionButton:
            widget = new QRadioButton(caption, parent);
            break;
        }
        if (layout.font.face != Face::Inherit)
            widget->setFont(designFont(layout.font));
        const Rect place = inPixels(layout.rect);
        widget->setGeometry(place.left, place.top, place.width, place.height);
        widget->setVisible(!(layout.flags & kHidden));
    }
    window.resize(twipsToPixels(formLayout().width), twipsToPixels(kStartHeight));
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    QSerialPort port(arguments.size() > 1 ? arguments[1] : QString());
    port.setBaudRate(QSerialPort::Baud19200);
    port.open(QIODevice::ReadWrite);
    QLabel window(arguments.contains(QStringLiteral("--text")) ? QStringLiteral("COM1 open")
                                                               : QString());
    window.resize(400, 300);
    if (arguments.contains(QStringLiteral("--controls")))
        buildControls(window);
    window.show();
    return QApplication::exec();
}
