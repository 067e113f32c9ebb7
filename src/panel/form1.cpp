#include "form1.h"

#include "layout/layout.h"
#include "panel/fonts.h"
#include "panel/widgets.h"
#include "protocol/captions.h"
#include "protocol/commandtable.h"
#include "protocol/linesettings.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>

#include <algorithm>
#include <vector>

namespace qv7 {

namespace {

QColor toColor(Rgb rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

QRect toPixels(const Rect &twips)
{
    const Rect pixels = inPixels(twips);
    return {pixels.left, pixels.top, pixels.width, pixels.height};
}

void paintBackground(QWidget *widget, const ControlLayout &layout)
{
    QPalette palette = widget->palette();
    if (layout.back)
        palette.setColor(QPalette::Window, toColor(*layout.back));
    if (layout.fore)
        palette.setColor(QPalette::WindowText, toColor(*layout.fore));
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

// The port panel's choices.
struct PortOption {
    const char *option;
    short port;
};
constexpr PortOption kPortOptions[] = {{"Option1", 1}, {"Option2", 2}};

struct SpeedOption {
    const char *option;
    std::string_view settings;
};
constexpr SpeedOption kSpeedOptions[] = {{"Option3", kFastLineSettings},
                                         {"Option4", kSlowLineSettings}};

int shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0) |
           (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0) |
           (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
}

// The distinct fonts that the layout gives the window and its controls.
std::vector<QFont> layoutFonts()
{
    std::vector<QFont> fonts{designFont(formLayout().font)};
    for (const ControlLayout &layout : controlLayouts()) {
        if (layout.font.face == Face::Inherit)
            continue;
        QFont font = designFont(layout.font);
        if (std::ranges::find(fonts, font) == fonts.end())
            fonts.push_back(std::move(font));
    }
    return fonts;
}

void resolveFonts(const std::vector<QFont> &fonts)
{
    for (const QFont &font : fonts)
        QFontMetrics(font).horizontalAdvance(QLatin1Char(' '));
}

// Each kind of control is made by a function of its own, in its container; the window's
// palette gives a button without a colour of its own the system's face.
using ControlBuilder = QWidget *(*)(const ControlLayout &layout, QWidget *container,
                                    const QPalette &window);

QWidget *buildFrame(const ControlLayout &layout, QWidget *container, const QPalette &)
{
    auto *frame = new QFrame(container);
    frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
    paintBackground(frame, layout);
    return frame;
}

QWidget *buildLabel(const ControlLayout &layout, QWidget *container, const QPalette &)
{
    const bool showsData = layout.flags & kSingleBorder;
    QLabel *label = showsData ? new DataLabel(container)
                              : new QLabel(QString::fromUtf8(layout.caption), container);
    label->setTextFormat(Qt::PlainText);
    Qt::Alignment alignment = Qt::AlignTop | Qt::AlignLeft;
    if (layout.flags & kCentred)
        alignment = Qt::AlignTop | Qt::AlignHCenter;
    if (layout.flags & kRightAligned)
        alignment = Qt::AlignTop | Qt::AlignRight;
    label->setAlignment(alignment);
    if (showsData) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
        // Their text stays their name.
        if (const DataLine *line = findDataLine(layout.name))
            label->setAccessibleDescription(QString::fromUtf8(line->description));
    }
    paintBackground(label, layout);
    return label;
}

QWidget *buildCommandButton(const ControlLayout &layout, QWidget *container, const QPalette &window)
{
    const QColor back = layout.back ? toColor(*layout.back) : window.color(QPalette::Button);
    return new CommandButton(QString::fromUtf8(layout.caption), back, container);
}

QWidget *buildOptionButton(const ControlLayout &layout, QWidget *container, const QPalette &)
{
    auto *option = new QRadioButton(QString::fromUtf8(layout.caption), container);
    option->setChecked(layout.flags & kSelected);
    paintBackground(option, layout);
    return option;
}

// How each kind of control is made, and whether it takes the focus in its tab order.
struct ControlKind {
    ControlType type;
    ControlBuilder build;
    bool takesFocus;
};
constexpr ControlKind kControlKinds[] = {
    {ControlType::Frame, buildFrame, false},
    {ControlType::Label, buildLabel, false},
    {ControlType::CommandButton, buildCommandButton, true},
    {ControlType::OptionButton, buildOptionButton, true},
};

const ControlKind &kindOf(const ControlLayout &layout)
{
    const auto kind = std::ranges::find(kControlKinds, layout.type, &ControlKind::type);
    if (kind == std::end(kControlKinds))
        qFatal("Form1: no builder for the kind of control %.*s", int(layout.name.size()),
               layout.name.data());
    return *kind;
}

// The controls that take the focus, chained in the order of their tab indexes; the first has it.
void chainFocus(std::vector<std::pair<int, QWidget *>> order)
{
    std::ranges::sort(order, {}, &std::pair<int, QWidget *>::first);
    for (std::size_t i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1].second, order[i].second);
    order.front().second->setFocus();
}

} // namespace

Form1::Form1(QWidget *parent, Clock &clock)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint)
    , line_(Line::Discipline::Panel, this, clock)
    , traffic_(line_, this, clock)
    , Timer3(clock, this)
    , presenter_([this](const QString &description) {
        QMessageBox::warning(this, QStringLiteral("QV7RSC"), description);
    })
{
    const FormLayout &form = formLayout();
    setObjectName(QStringLiteral("Form1"));
    Timer3.setObjectName(QStringLiteral("Timer3"));
    Timer3.setInterval(kPortPanelTimeoutMs);
    setWindowTitle(QString::fromUtf8(form.caption));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, toColor(form.back));
    windowPalette.setColor(QPalette::WindowText, toColor(form.fore));
    setPalette(windowPalette);
    setAutoFillBackground(true);
    setFont(designFont(form.font));
    setHeight(static_cast<float>(form.height));

    buildControls();
    Frame8 = named<QWidget>("Frame8");
    Command34 = named<QAbstractButton>("Command34");
    Option1 = named<QAbstractButton>("Option1");
    connectCommands();
    connectPortPanel();
    connectDisplay();
    connect(&line_, &Line::failed, this,
            [this](const Failure &failure) { present(failure.description); });
    connect(&line_, &Line::connectingChanged, this, [this](bool connecting) {
        connecting_ = connecting;
        if (connecting)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::restoreOverrideCursor();
    });
    qApp->installEventFilter(this);
}

Form1::~Form1() = default;

template <typename Widget> Widget *Form1::named(const char *name) const
{
    auto *widget = qobject_cast<Widget *>(control(QString::fromLatin1(name)));
    if (!widget)
        qFatal("Form1: the layout has no control %s", name);
    return widget;
}

void Form1::buildControls()
{
    // Lines first, so that every control lies above them.
    buildLines();
    std::vector<std::pair<int, QWidget *>> focusOrder;
    for (const ControlLayout &layout : controlLayouts()) {
        const ControlKind &kind = kindOf(layout);
        QWidget *container =
            layout.container.empty() ? this : controls_.value(QString::fromUtf8(layout.container));
        QWidget *widget = kind.build(layout, container, palette());
        addControl(widget, layout);
        if (kind.takesFocus)
            focusOrder.emplace_back(layout.tabIndex, widget);
    }
    buildLogo();
    chainFocus(std::move(focusOrder));
}

void Form1::buildLines()
{
    const FormLayout &form = formLayout();
    for (const LineLayout &line : lineLayouts()) {
        auto *shape = new LineShape(QPoint(twipsToPixels(line.x1), twipsToPixels(line.y1)),
                                    QPoint(twipsToPixels(line.x2), twipsToPixels(line.y2)),
                                    form.lineWidthPixels, toColor(form.lineColour), this);
        shape->setObjectName(QString::fromUtf8(line.name));
        controls_.insert(shape->objectName(), shape);
    }
}

void Form1::addControl(QWidget *widget, const ControlLayout &layout)
{
    widget->setObjectName(QString::fromUtf8(layout.name));
    widget->setGeometry(toPixels(layout.rect));
    if (layout.font.face != Face::Inherit)
        widget->setFont(designFont(layout.font));
    if (layout.flags & kHidden)
        widget->setHidden(true);
    controls_.insert(widget->objectName(), widget);
}

void Form1::buildLogo()
{
    const ImageLayout &image = imageLayout();
    auto *logo = new QLabel(this);
    logo->setObjectName(QString::fromUtf8(image.name));
    // Compiled in as XPM, which QPixmap reads itself: read from a resource, the bitmap cost
    // start-up 2 ms in the image plugins' search and its decompression.
    logo->setPixmap(QPixmap(logoPixmap().data()));
    logo->setGeometry(twipsToPixels(image.left), twipsToPixels(image.top), image.widthPixels,
                      image.heightPixels);
    logo->setAccessibleName(QStringLiteral("Logo"));
    controls_.insert(logo->objectName(), logo);
}

void Form1::connectCommands()
{
    for (const OneShotCommand &command : kOneShotCommands)
        connect(named<CommandButton>(command.control.data()), &QPushButton::clicked, &line_,
                [this, &command] { line_.click(command); });
    // Hold buttons act on the mouse alone: they have no click action, so a key that would
    // click a focused button sends nothing.
    for (const HoldCommand &command : kHoldCommands) {
        auto *button = named<CommandButton>(command.control.data());
        connect(button, &CommandButton::mouseDown, &line_,
                [this, &command] { line_.press(command); });
        connect(button, &CommandButton::mouseUp, &line_,
                [this, &command] { line_.release(command); });
    }
}

void Form1::connectPortPanel()
{
    connect(named<QAbstractButton>("Command33"), &QAbstractButton::clicked, this,
            &Form1::showPortPanel);
    connect(&Timer3, &LineTimer::timeout, this, [this] {
        Frame8->setVisible(false);
        Timer3.setEnabled(false);
    });
    // Each choice in a group of its own: as plain radio buttons, the speeds in their frame
    // inside the port frame counted as the ports' siblings, and a click on the chosen port
    // cleared its mark.
    auto *ports = new QButtonGroup(this);
    auto *speeds = new QButtonGroup(this);
    for (const PortOption &choice : kPortOptions)
        ports->addButton(named<QAbstractButton>(choice.option));
    for (const SpeedOption &choice : kSpeedOptions)
        speeds->addButton(named<QAbstractButton>(choice.option));
    for (const PortOption &choice : kPortOptions)
        connect(named<QAbstractButton>(choice.option), &QAbstractButton::clicked, this,
                [this, port = choice.port] {
                    if (line_.switchPort(port))
                        Frame8->setVisible(false);
                });
    for (const SpeedOption &choice : kSpeedOptions)
        connect(named<QAbstractButton>(choice.option), &QAbstractButton::clicked, this,
                [this, settings = choice.settings] {
                    if (line_.chooseSpeed(settings))
                        Frame8->setVisible(false);
                });
    // "END": the last window closing ends the program.
    connect(named<QAbstractButton>("Command16"), &QAbstractButton::clicked, this, [this] {
        if (line_.closePort())
            close();
    });
}

void Form1::connectDisplay()
{
    const auto show = [this](const char *label, void (TrafficView::*changed)(const QString &)) {
        connect(&traffic_, changed, named<QLabel>(label), &QLabel::setText);
    };
    show("Label11", &TrafficView::txdChanged);
    show("Label12", &TrafficView::rxdChanged);
    show("Label25", &TrafficView::statusChanged);
    connect(Command34, &QAbstractButton::clicked, this, &Form1::Command34_Click);
}

void Form1::load()
{
    const QRect screenPixels = screen()->geometry();
    const float screenWidth = static_cast<float>(screenPixels.width() * kTwipsPerPixel);
    const float screenHeight = static_cast<float>(screenPixels.height() * kTwipsPerPixel);
    setLeft((screenWidth - static_cast<float>(formLayout().width)) / 2);
    setTop((screenHeight - Height()) / 2);
    setHeight(kStartHeight);
    // The window appears as soon as it is placed. Left to the first paint, finding and loading
    // its fonts would hold up the event loop's first turn for 10 ms and more, so they are loaded
    // here, before the line opens and the loop runs.
    show();
    resolveFonts(layoutFonts());
    if (!line_.start())
        return;
    // Selecting "COM1" by code runs its port switch, as a click would.
    Option1->setChecked(true);
    if (line_.switchPort(1))
        Frame8->setVisible(false);
}

void Form1::Form_KeyDown(int KeyCode, int Shift)
{
    if (KeyCode != Qt::Key_J || (Shift & 7) != 2)
        return;
    setHeight(kFullHeight);
    Command34->setText(QString::fromUtf8(kToggleRevealedCaption.text));
    Command34->setVisible(true);
}

void Form1::showPortPanel()
{
    Frame8->setVisible(true);
    Timer3.setEnabled(true);
}

void Form1::Command34_Click()
{
    Timer3.setEnabled(false);
    if (Height() < kTallThreshold) {
        setHeight(kDisplayHeight);
        Command34->setText(QString::fromUtf8(kToggleHideCaption.text));
    } else {
        setHeight(kStartHeight);
        Command34->setText(QString::fromUtf8(kToggleShowCaption.text));
    }
    Timer3.setEnabled(true);
}

void Form1::setFailurePresenter(FailurePresenter presenter)
{
    presenter_ = std::move(presenter);
}

void Form1::present(const QString &description)
{
    // While a report is on screen, the failures that follow are part of its burst.
    if (presenting_)
        return;
    presenting_ = true;
    emit failureReported(description);
    presenter_(description);
    presenting_ = false;
}

void Form1::setHeight(float twips)
{
    const FormLayout &form = formLayout();
    height_ = twips;
    const int clientWidth = form.width - 2 * form.frameWidth;
    const float clientHeight = twips - static_cast<float>(form.titleHeight + form.frameWidth);
    setFixedSize(twipsToPixels(clientWidth), twipsToPixels(clientHeight));
}

void Form1::setLeft(float twips)
{
    move(twipsToPixels(twips), pos().y());
}

void Form1::setTop(float twips)
{
    move(pos().x(), twipsToPixels(twips));
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
    // Whatever is clicked or typed while a port connects would start another open or write. A
    // release still comes through: it ends a hold whose press made the connection again, and
    // the button it completes was pressed before the wait began.
    if (connecting_ && watched->isWidgetType() &&
        static_cast<QWidget *>(watched)->window() == this) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
            return true;
        default:
            break;
        }
    }
    // Key preview: a key goes to the focus widget first and then up through its parents; the
    // window takes it once, at that first receiver, and never consumes it.
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        QWidget *focus = QApplication::focusWidget();
        QWidget *first = focus && focus->window() == this ? focus : this;
        if (watched == first) {
            const auto *key = static_cast<QKeyEvent *>(event);
            Form_KeyDown(key->key(), shiftState(key->modifiers()));
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace qv7
