#include "form1.h"

#include "panel/fonts.h"
#include "panel/layout.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <vector>

namespace qv7 {

namespace {

QColor toColor(Rgb rgb)
{
    return QColor(rgb.red, rgb.green, rgb.blue);
}

QRect toPixels(const Rect &rect)
{
    return {twipsToPixels(rect.left), twipsToPixels(rect.top), twipsToPixels(rect.width),
            twipsToPixels(rect.height)};
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

// What the lines that show data are, for assistive tools; their text stays their name.
QString dataLineDescription(std::string_view name)
{
    if (name == "Label11")
        return QStringLiteral("TXD line: the last command sent, one token per character");
    if (name == "Label12")
        return QStringLiteral("RXD line: the reply received, one token per character");
    return QStringLiteral("Status line: the decoded reply to a query");
}

int shiftState(Qt::KeyboardModifiers modifiers)
{
    return (modifiers.testFlag(Qt::ShiftModifier) ? 1 : 0) |
           (modifiers.testFlag(Qt::ControlModifier) ? 2 : 0) |
           (modifiers.testFlag(Qt::AltModifier) ? 4 : 0);
}

} // namespace

Form1::Form1(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint)
    , presenter_([this](const QString &description) {
        QMessageBox::warning(this, QStringLiteral("QV7RSC"), description);
    })
{
    const FormLayout &form = formLayout();
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromUtf8(form.caption));
    QPalette windowPalette = palette();
    windowPalette.setColor(QPalette::Window, toColor(form.back));
    windowPalette.setColor(QPalette::WindowText, toColor(form.fore));
    setPalette(windowPalette);
    setAutoFillBackground(true);
    setFont(designFont(form.font));
    setHeight(static_cast<float>(form.height));

    MSComm1 = new SerialControl(this);
    MSComm1->setObjectName(QStringLiteral("MSComm1"));
    buildControls();
    bindControls();
    connectLink();
    connectTraffic();
    connectCommands();
    qApp->installEventFilter(this);
}

Form1::~Form1() = default;

void Form1::buildControls()
{
    const FormLayout &form = formLayout();
    // Lines first, so that every control lies above them.
    for (const LineLayout &line : lineLayouts()) {
        auto *shape = new LineShape(QPoint(twipsToPixels(line.x1), twipsToPixels(line.y1)),
                                    QPoint(twipsToPixels(line.x2), twipsToPixels(line.y2)),
                                    form.lineWidthPixels, toColor(form.lineColour), this);
        shape->setObjectName(QString::fromUtf8(line.name));
        controls_.insert(shape->objectName(), shape);
    }

    std::vector<std::pair<int, QWidget *>> focusOrder;
    for (const ControlLayout &layout : controlLayouts()) {
        QWidget *container =
            layout.container.empty() ? this : controls_.value(QString::fromUtf8(layout.container));
        const QString caption = QString::fromUtf8(layout.caption);
        QWidget *widget = nullptr;
        switch (layout.type) {
        case ControlType::Frame: {
            auto *frame = new QFrame(container);
            frame->setFrameStyle(QFrame::Box | QFrame::Sunken);
            paintBackground(frame, layout);
            widget = frame;
            break;
        }
        case ControlType::Label: {
            const bool showsData = layout.flags & kSingleBorder;
            QLabel *label = showsData ? new DataLabel(container) : new QLabel(caption, container);
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
                label->setAccessibleDescription(dataLineDescription(layout.name));
            }
            paintBackground(label, layout);
            widget = label;
            break;
        }
        case ControlType::CommandButton: {
            const QColor back =
                layout.back ? toColor(*layout.back) : palette().color(QPalette::Button);
            auto *button = new CommandButton(caption, back, container);
            focusOrder.emplace_back(layout.tabIndex, button);
            widget = button;
            break;
        }
        case ControlType::OptionButton: {
            auto *option = new QRadioButton(caption, container);
            option->setChecked(layout.flags & kSelected);
            paintBackground(option, layout);
            focusOrder.emplace_back(layout.tabIndex, option);
            widget = option;
            break;
        }
        }
        widget->setObjectName(QString::fromUtf8(layout.name));
        widget->setGeometry(toPixels(layout.rect));
        if (layout.font.face != Face::Inherit)
            widget->setFont(designFont(layout.font));
        if (layout.flags & kHidden)
            widget->setHidden(true);
        controls_.insert(widget->objectName(), widget);
    }

    const ImageLayout &image = imageLayout();
    auto *logo = new QLabel(this);
    logo->setObjectName(QString::fromUtf8(image.name));
    logo->setPixmap(QPixmap(QStringLiteral(":/qv7/logo.bmp")));
    logo->setGeometry(twipsToPixels(image.left), twipsToPixels(image.top), image.widthPixels,
                      image.heightPixels);
    logo->setAccessibleName(QStringLiteral("Logo"));
    controls_.insert(logo->objectName(), logo);

    for (const TimerLayout &timer : timerLayouts()) {
        auto *panelTimer = new PanelTimer(timer.interval, this);
        panelTimer->setObjectName(QString::fromUtf8(timer.name));
    }

    std::ranges::sort(focusOrder, {}, &std::pair<int, QWidget *>::first);
    for (std::size_t i = 1; i < focusOrder.size(); ++i)
        setTabOrder(focusOrder[i - 1].second, focusOrder[i].second);
    focusOrder.front().second->setFocus();
}

template <typename Widget>
static void bindControl(const Form1 &form, Widget *&member, const char *name)
{
    member = qobject_cast<Widget *>(form.control(QString::fromLatin1(name)));
    if (!member)
        qFatal("Form1: the layout has no control %s", name);
}

#define QV7_BIND(name) bindControl(*this, name, #name)

void Form1::bindControls()
{
    QV7_BIND(Frame1);
    QV7_BIND(Frame2);
    QV7_BIND(Frame3);
    QV7_BIND(Frame4);
    QV7_BIND(Frame5);
    QV7_BIND(Frame6);
    QV7_BIND(Frame7);
    QV7_BIND(Frame8);
    QV7_BIND(Frame9);
    QV7_BIND(Frame10);
    QV7_BIND(Frame11);
    QV7_BIND(Frame15);
    QV7_BIND(Label1);
    QV7_BIND(Label2);
    QV7_BIND(Label3);
    QV7_BIND(Label4);
    QV7_BIND(Label5);
    QV7_BIND(Label6);
    QV7_BIND(Label7);
    QV7_BIND(Label8);
    QV7_BIND(Label9);
    QV7_BIND(Label10);
    QV7_BIND(Label11);
    QV7_BIND(Label12);
    QV7_BIND(Label13);
    QV7_BIND(Label14);
    QV7_BIND(Label17);
    QV7_BIND(Label18);
    QV7_BIND(Label20);
    QV7_BIND(Label25);
    QV7_BIND(Label26);
    QV7_BIND(Command1);
    QV7_BIND(Command2);
    QV7_BIND(Command3);
    QV7_BIND(Command4);
    QV7_BIND(Command5);
    QV7_BIND(Command6);
    QV7_BIND(Command7);
    QV7_BIND(Command8);
    QV7_BIND(Command9);
    QV7_BIND(Command10);
    QV7_BIND(Command11);
    QV7_BIND(Command13);
    QV7_BIND(Command14);
    QV7_BIND(Command15);
    QV7_BIND(Command16);
    QV7_BIND(Command17);
    QV7_BIND(Command18);
    QV7_BIND(Command19);
    QV7_BIND(Command20);
    QV7_BIND(Command21);
    QV7_BIND(Command22);
    QV7_BIND(Command23);
    QV7_BIND(Command24);
    QV7_BIND(Command25);
    QV7_BIND(Command26);
    QV7_BIND(Command27);
    QV7_BIND(Command28);
    QV7_BIND(Command29);
    QV7_BIND(Command31);
    QV7_BIND(Command32);
    QV7_BIND(Command33);
    QV7_BIND(Command34);
    QV7_BIND(Command35);
    QV7_BIND(Command36);
    QV7_BIND(Command37);
    QV7_BIND(Command41);
    QV7_BIND(Command43);
    QV7_BIND(Command44);
    QV7_BIND(Command45);
    QV7_BIND(Command46);
    QV7_BIND(Command47);
    QV7_BIND(Command48);
    QV7_BIND(Command49);
    QV7_BIND(Command50);
    QV7_BIND(Command51);
    QV7_BIND(Command52);
    QV7_BIND(Command59);
    QV7_BIND(Command62);
    QV7_BIND(Option1);
    QV7_BIND(Option2);
    QV7_BIND(Option3);
    QV7_BIND(Option4);
    QV7_BIND(Line1);
    QV7_BIND(Line2);
    QV7_BIND(Line3);
    QV7_BIND(Line4);
    QV7_BIND(Line5);
    QV7_BIND(Line6);
    QV7_BIND(Line7);
    QV7_BIND(Line8);
    QV7_BIND(Line9);
    QV7_BIND(Line10);
    QV7_BIND(Line11);
    QV7_BIND(Line12);
    QV7_BIND(Image1);
    Timer1 = findChild<PanelTimer *>(QStringLiteral("Timer1"), Qt::FindDirectChildrenOnly);
    Timer2 = findChild<PanelTimer *>(QStringLiteral("Timer2"), Qt::FindDirectChildrenOnly);
    Timer3 = findChild<PanelTimer *>(QStringLiteral("Timer3"), Qt::FindDirectChildrenOnly);
    Timer4 = findChild<PanelTimer *>(QStringLiteral("Timer4"), Qt::FindDirectChildrenOnly);
    Timer5 = findChild<PanelTimer *>(QStringLiteral("Timer5"), Qt::FindDirectChildrenOnly);
}

#undef QV7_BIND

void Form1::load()
{
    runGuarded([this] { Form_Load(); });
}

void Form1::setFailurePresenter(FailurePresenter presenter)
{
    presenter_ = std::move(presenter);
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

void Form1::runGuarded(const std::function<void()> &handler)
{
    try {
        handler();
    } catch (const CommError &error) {
        reportFailure(error.description());
    }
}

void Form1::reportFailure(const QString &description)
{
    // Failures of one burst arrive while the first is on its way or on screen: report that
    // one. Showing it from the event loop also keeps a modal box out of the serial port's own
    // call stack.
    if (reportPending_ || reportShowing_)
        return;
    reportPending_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, description] {
            reportPending_ = false;
            showFailureNow(description);
        },
        Qt::QueuedConnection);
}

void Form1::showFailureNow(const QString &description)
{
    reportShowing_ = true;
    emit failureReported(description);
    presenter_(description);
    reportShowing_ = false;
}

bool Form1::eventFilter(QObject *watched, QEvent *event)
{
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
