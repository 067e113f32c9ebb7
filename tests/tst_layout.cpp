// The window against the panel's layout: every control, where it sits, how it looks, and the
// order in which the keyboard visits it.

#include "panel/fonts.h"
#include "panel/form1.h"
#include "panel/layout.h"

#include "support/panelfixture.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

using namespace qv7;

namespace {

// Controls of each kind as the panel's design draws them, written out independently of the
// table the window is built from. Positions in twips; colours "r,g,b", empty for the system's.
struct DesignControl {
    const char *name;
    const char *type;
    const char *container;
    const char *caption;
    Rect rect;
    const char *back;
    const char *fore;
    const char *font;
    int tabIndex;
    const char *other;
};

// clang-format off
constexpr DesignControl kDesign[] = {
    {"Frame1", "Frame", "Form1", "", {120, 120, 1695, 975}, "192,192,192", "128,128,128", "P-Gothic 9", 0, ""},
    {"Label1", "Label", "Frame1", "POWER", {120, 240, 1440, 315}, "192,192,192", "192,0,0", "Gothic 9 bold", 2, "centred"},
    {"Command17", "CommandButton", "Frame1", "ON", {120, 600, 615, 300}, "192,255,192", "", "Gothic 9 bold", 1, ""},
    {"Command59", "CommandButton", "Frame10", "↑", {555, 705, 492, 252}, "255,224,192", "", "from container", 74, ""},
    {"Command1", "CommandButton", "Form1", "+", {3600, 2880, 375, 255}, "255,192,128", "", "P-Gothic 9 bold", 5, ""},
    {"Command33", "CommandButton", "Form1", "COM", {4080, 4200, 1815, 375}, "", "", "P-Gothic 9", 44, ""},
    {"Frame8", "Frame", "Form1", "", {3825, 3600, 2775, 1185}, "192,192,192", "", "P-Gothic 9", 45, "hidden"},
    {"Frame11", "Frame", "Frame8", "", {105, 495, 2535, 615}, "192,192,192", "", "from container", 80, ""},
    {"Option3", "OptionButton", "Frame11", "19200", {135, 165, 1080, 375}, "192,192,192", "", "Gothic 9 bold", 81, "selected"},
    {"Label9", "Label", "Frame9", "TXD", {165, 210, 540, 345}, "192,192,192", "", "Gothic 9", 49, "right-aligned"},
    {"Label11", "Label", "Frame9", "", {840, 195, 6015, 300}, "255,255,255", "", "P-Gothic 9.75 bold", 51, "single border"},
    {"Label25", "Label", "Frame15", "", {1080, 135, 5175, 300}, "255,255,255", "255,0,0", "P-Gothic 9 bold", 78, "single border"},
    {"Command34", "CommandButton", "Form1", "データを表示する", {7800, 5040, 1452, 375}, "192,192,192", "", "Gothic 9", 53, "hidden"},
    {"Command52", "CommandButton", "Form1", "C01", {90, 6000, 555, 300}, "255,192,192", "", "Gothic 9", 72, ""},
};
// clang-format on

QRect pixels(const Rect &rect)
{
    return {twipsToPixels(rect.left), twipsToPixels(rect.top), twipsToPixels(rect.width),
            twipsToPixels(rect.height)};
}

QColor colour(const char *rgb)
{
    const QStringList parts = QString::fromLatin1(rgb).split(QLatin1Char(','));
    return QColor(parts[0].toInt(), parts[1].toInt(), parts[2].toInt());
}

QString captionOf(QWidget *widget)
{
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        return button->text();
    if (auto *label = qobject_cast<QLabel *>(widget))
        return label->text();
    return {};
}

QString typeOf(QWidget *widget)
{
    if (qobject_cast<CommandButton *>(widget))
        return QStringLiteral("CommandButton");
    if (qobject_cast<QRadioButton *>(widget))
        return QStringLiteral("OptionButton");
    if (qobject_cast<QLabel *>(widget))
        return QStringLiteral("Label");
    return QStringLiteral("Frame");
}

QColor backOf(QWidget *widget)
{
    if (auto *button = qobject_cast<CommandButton *>(widget))
        return button->backColor();
    return widget->palette().color(QPalette::Window);
}

} // namespace

class TstLayout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void window();
    void controls_data();
    void controls();
    void everyControlIsInTheDesign();
    void tabOrder();
    void focusStartsOnPowerOn();
    void lines_data();
    void lines();
    void logo();
    void fontsResolve_data();
    void fontsResolve();
    void buttonsPaintTheirBackColour_data();
    void buttonsPaintTheirBackColour();
    void assistiveToolsFindEveryControlByItsCaption();
    void dataLinesAreNamedByTheirText();
    void screenshots();

private:
    std::unique_ptr<test::PtyPair> line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstLayout::init()
{
    line_ = std::make_unique<test::PtyPair>();
    panel_ = test::startPanel(line_->slavePath());
}

void TstLayout::cleanup()
{
    panel_.reset();
    line_.reset();
}

void TstLayout::window()
{
    Form1 &form = *panel_->form;
    QCOMPARE(form.windowTitle(), QStringLiteral("ORBA   QV7  CONTROL  Ver.1.30"));
    QCOMPARE(form.width(), 9495 / 15);
    QCOMPARE(form.palette().color(QPalette::Window), QColor(192, 192, 192));
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(form.minimumSize(), form.maximumSize());
    const QFont font = form.font();
    QCOMPARE(font.families().first(), QString::fromUtf8(kPGothicFamily));
    QCOMPARE(font.pointSizeF(), 7.5);
}

void TstLayout::controls_data()
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < int(std::size(kDesign)); ++i)
        QTest::newRow(kDesign[i].name) << i;
}

void TstLayout::controls()
{
    QFETCH(int, row);
    const DesignControl &design = kDesign[row];
    QWidget *widget = panel_->form->control(QString::fromLatin1(design.name));
    QVERIFY(widget);
    QCOMPARE(typeOf(widget), QString::fromLatin1(design.type));
    QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(design.container));
    if (QByteArray(design.name) != "Command34") // the key command renames it at run time
        QCOMPARE(captionOf(widget), QString::fromUtf8(design.caption));
    QCOMPARE(widget->geometry(), pixels(design.rect));

    if (*design.back)
        QCOMPARE(backOf(widget), colour(design.back));
    else
        QCOMPARE(backOf(widget), QApplication::palette().color(QPalette::Button));
    if (*design.fore)
        QCOMPARE(widget->palette().color(QPalette::WindowText), colour(design.fore));

    const QString font = QString::fromLatin1(design.font);
    if (font == QLatin1String("from container")) {
        QCOMPARE(widget->font(), widget->parentWidget()->font());
    } else {
        const bool proportional = font.startsWith(QLatin1String("P-"));
        const QStringList parts = font.split(QLatin1Char(' '));
        QCOMPARE(widget->font().families().first(),
                 QString::fromUtf8(proportional ? kPGothicFamily : kGothicFamily));
        QCOMPARE(widget->font().pointSizeF(), parts[1].toDouble());
        QCOMPARE(widget->font().bold(), font.endsWith(QLatin1String("bold")));
    }

    const QString other = QString::fromLatin1(design.other);
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->autoFillBackground());
        const Qt::Alignment horizontal = label->alignment() & Qt::AlignHorizontal_Mask;
        QCOMPARE(horizontal, other == QLatin1String("centred")         ? Qt::AlignHCenter
                             : other == QLatin1String("right-aligned") ? Qt::AlignRight
                                                                       : Qt::AlignLeft);
        QCOMPARE(label->frameShape() != QFrame::NoFrame, other == QLatin1String("single border"));
    }
    if (auto *frame = qobject_cast<QFrame *>(widget); frame && typeOf(widget) == "Frame")
        QVERIFY(frame->frameShape() != QFrame::NoFrame);
    QCOMPARE(widget->isHidden(), other == QLatin1String("hidden"));
    if (auto *option = qobject_cast<QRadioButton *>(widget);
        option && QByteArray(design.name) != "Option1")
        QCOMPARE(option->isChecked(), other == QLatin1String("selected"));
}

void TstLayout::everyControlIsInTheDesign()
{
    // Every row of the layout is a control of its container, and nothing else is on the
    // window; 83 controls, 12 lines and the logo.
    QCOMPARE(controlLayouts().size(), std::size_t(83));
    for (const ControlLayout &row : controlLayouts()) {
        QWidget *widget = panel_->form->control(QString::fromUtf8(row.name));
        QVERIFY2(widget, row.name.data());
        QCOMPARE(widget->parentWidget()->objectName(), row.container.empty()
                                                           ? QStringLiteral("Form1")
                                                           : QString::fromUtf8(row.container));
    }
    QStringList extra;
    for (QWidget *widget : panel_->form->findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        const bool known = findControlLayout(name.toStdString()) ||
                           name.startsWith(QLatin1String("Line")) ||
                           name == QLatin1String("Image1");
        if (!known && !name.startsWith(QLatin1String("qt_")))
            extra << name;
    }
    QVERIFY2(extra.isEmpty(), qPrintable(extra.join(QLatin1Char(' '))));
}

void TstLayout::tabOrder()
{
    const QStringList design =
        QStringLiteral(
            "Command17 Command1 Command2 Command3 Command4 Command5 Command6 Command7 Command8 "
            "Command9 Command10 Command11 Command13 Command14 Command16 Command18 Command19 "
            "Command20 Command21 Command22 Command23 Command24 Command25 Command26 Command27 "
            "Command28 Command29 Command31 Command32 Command33 Option1 Option2 Command34 Command15 "
            "Command35 Command36 Command37 Command41 Command43 Command44 Command45 Command46 "
            "Command47 Command48 Command49 Command50 Command51 Command52 Command59 Command62 "
            "Option3 Option4")
            .split(QLatin1Char(' '));
    QStringList chain;
    QWidget *widget = test::widget<CommandButton>(*panel_->form, "Command17");
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            chain << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != test::widget<CommandButton>(*panel_->form, "Command17"));
    QCOMPARE(chain.mid(chain.indexOf(QStringLiteral("Command17"))), design);
    for (auto *label : panel_->form->findChildren<QLabel *>())
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
}

void TstLayout::focusStartsOnPowerOn()
{
    panel_->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(panel_->form.get()));
    QCOMPARE(QApplication::focusWidget(), test::widget<CommandButton>(*panel_->form, "Command17"));
}

void TstLayout::lines_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QPoint>("from");
    QTest::addColumn<QPoint>("to");
    QTest::newRow("Line1, upright") << "Line1" << QPoint(72, 160) << QPoint(72, 192);
    QTest::newRow("Line7, level") << "Line7" << QPoint(72, 160) << QPoint(144, 160);
    QTest::newRow("Line12, last") << "Line12" << QPoint(144, 232) << QPoint(208, 232);
}

void TstLayout::lines()
{
    QFETCH(QString, name);
    QFETCH(QPoint, from);
    QFETCH(QPoint, to);
    auto *shape = qobject_cast<LineShape *>(panel_->form->control(name));
    QVERIFY(shape);
    QCOMPARE(shape->from(), from);
    QCOMPARE(shape->to(), to);
    // Every line of the layout: two pixels wide, in the design's colour, over its ends.
    QCOMPARE(lineLayouts().size(), std::size_t(12));
    for (const LineLayout &row : lineLayouts()) {
        auto *line = qobject_cast<LineShape *>(panel_->form->control(QString::fromUtf8(row.name)));
        QVERIFY2(line, row.name.data());
        QVERIFY(line->geometry().contains(line->from()) && line->geometry().contains(line->to()));
        QCOMPARE(std::min(line->width(), line->height()), 2);
        QCOMPARE(line->palette().color(QPalette::Window), QColor(128, 128, 255));
    }
}

void TstLayout::logo()
{
    QLabel *image = test::widget<QLabel>(*panel_->form, "Image1");
    QCOMPARE(image->geometry(), QRect(8145 / 15, 90 / 15, 80, 26));
    QCOMPARE(image->pixmap().size(), QSize(80, 26));
    QCOMPARE(image->focusPolicy(), Qt::NoFocus);
}

void TstLayout::fontsResolve_data()
{
    QTest::addColumn<int>("face");
    QTest::addColumn<QString>("substitute");
    QTest::addColumn<QString>("text");
    QTest::newRow("Gothic, Japanese caption")
        << int(Face::Gothic) << "IPAGothic" << QStringLiteral("データを表示しない");
    QTest::newRow("P-Gothic, arrows")
        << int(Face::PGothic) << "IPAPGothic" << QStringLiteral("↑↓←→");
}

void TstLayout::fontsResolve()
{
    QFETCH(int, face);
    QFETCH(QString, substitute);
    QFETCH(QString, text);
    const QFont font = designFont({static_cast<Face>(face), 9.0, false});
    const QFontInfo info(font);
    if (info.family() != substitute)
        QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(substitute)));
    const QFontMetrics metrics(font);
    for (const QChar c : text)
        QVERIFY2(metrics.inFont(c), qPrintable(QString(c)));
}

void TstLayout::buttonsPaintTheirBackColour_data()
{
    QTest::addColumn<QString>("style");
    for (const QString &style : QStyleFactory::keys())
        QTest::newRow(qPrintable(style)) << style;
}

void TstLayout::buttonsPaintTheirBackColour()
{
    QFETCH(QString, style);
    QStyle *previous = QApplication::style();
    const QString previousName = previous->name();
    QApplication::setStyle(style);
    for (CommandButton *button : {test::widget<CommandButton>(*panel_->form, "Command17"),
                                  test::widget<CommandButton>(*panel_->form, "Command6"),
                                  test::widget<CommandButton>(*panel_->form, "Command13")}) {
        const QImage image = button->grab().toImage();
        // Left of the centred caption, inside the bevel.
        QCOMPARE(QColor(image.pixel(5, image.height() / 2)), button->backColor());
    }
    const QImage txd = test::widget<QLabel>(*panel_->form, "Label11")->grab().toImage();
    QCOMPARE(QColor(txd.pixel(txd.width() / 2, txd.height() / 2)), QColor(Qt::white));
    QApplication::setStyle(previousName);
}

void TstLayout::assistiveToolsFindEveryControlByItsCaption()
{
    QAccessibleInterface *window = QAccessible::queryAccessibleInterface(panel_->form.get());
    QVERIFY(window);
    for (QAbstractButton *widget : panel_->form->findChildren<QAbstractButton *>()) {
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
        QVERIFY2(control, qPrintable(widget->objectName()));
        QVERIFY(!captionOf(widget).isEmpty());
        QCOMPARE(control->text(QAccessible::Name), captionOf(widget));
        QCOMPARE(control->role(), qobject_cast<QRadioButton *>(widget) ? QAccessible::RadioButton
                                                                       : QAccessible::Button);
    }
}

void TstLayout::dataLinesAreNamedByTheirText()
{
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    QTest::mouseClick(test::widget<CommandButton>(form, "Command44"), Qt::LeftButton);
    for (QLabel *label :
         {test::widget<QLabel>(form, "Label11"), test::widget<QLabel>(form, "Label12"),
          test::widget<QLabel>(form, "Label25")}) {
        label->setText(label == test::widget<QLabel>(form, "Label11")
                           ? label->text()
                           : QStringLiteral(" Power ON"));
        QAccessibleInterface *line = QAccessible::queryAccessibleInterface(label);
        QCOMPARE(line->text(QAccessible::Name), label->text());
        QVERIFY(!line->text(QAccessible::Description).isEmpty());
    }
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral(" C R 0 CR "));
}

void TstLayout::screenshots()
{
    const QString directory = qEnvironmentVariable("QV7_ARTIFACTS", QDir::tempPath());
    QDir().mkpath(directory);
    Form1 &form = *panel_->form;
    QVERIFY(form.grab().save(directory + QStringLiteral("/panel-5200.png")));
    test::keyDown(form, Qt::Key_J, 2);
    QVERIFY(form.grab().save(directory + QStringLiteral("/panel-7200.png")));
}

QTEST_MAIN(TstLayout)
#include "tst_layout.moc"
