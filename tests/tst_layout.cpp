// The window against the panel's design: each kind of control, where it sits and how it looks, the
// keyboard's order, the fonts, the painting and what assistive tools see.

#include "panel/fonts.h"
#include "layout/layout.h"

#include "support/panelfixture.h"

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>

using namespace qv7;

namespace {

// One control of each kind as the design draws it, written out apart from the table the window is
// built from. Positions in twips; back 0 is the system's, fore 0 the container's.
struct DesignControl {
    const char *name, *className, *container, *caption;
    Rect rect;
    QRgb back, fore;
    FontSpec font;
    const char *other;
};

using enum Face;

// clang-format off
constexpr DesignControl kDesign[] = {
    {"Frame1", "QFrame", "Form1", "", {120, 120, 1695, 975}, 0xc0c0c0, 0x808080, {PGothic, 9, false}, ""},
    {"Label1", "QLabel", "Frame1", "POWER", {120, 240, 1440, 315}, 0xc0c0c0, 0xc00000, {Gothic, 9, true}, "centred"},
    {"Command17", "qv7::CommandButton", "Frame1", "ON", {120, 600, 615, 300}, 0xc0ffc0, 0, {Gothic, 9, true}, ""},
    {"Command59", "qv7::CommandButton", "Frame10", "↑", {555, 705, 492, 252}, 0xffe0c0, 0, kInherit, ""},
    {"Command1", "qv7::CommandButton", "Form1", "+", {3600, 2880, 375, 255}, 0xffc080, 0, {PGothic, 9, true}, ""},
    {"Command33", "qv7::CommandButton", "Form1", "COM", {4080, 4200, 1815, 375}, 0, 0, {PGothic, 9, false}, ""},
    {"Frame8", "QFrame", "Form1", "", {3825, 3600, 2775, 1185}, 0xc0c0c0, 0, {PGothic, 9, false}, "hidden"},
    {"Frame11", "QFrame", "Frame8", "", {105, 495, 2535, 615}, 0xc0c0c0, 0, kInherit, ""},
    {"Option3", "QRadioButton", "Frame11", "19200", {135, 165, 1080, 375}, 0xc0c0c0, 0, {Gothic, 9, true}, "selected"},
    {"Label9", "QLabel", "Frame9", "TXD", {165, 210, 540, 345}, 0xc0c0c0, 0, {Gothic, 9, false}, "right-aligned"},
    {"Label11", "qv7::DataLabel", "Frame9", "", {840, 195, 6015, 300}, 0xffffff, 0, {PGothic, 9.75, true}, "single border"},
    {"Label25", "qv7::DataLabel", "Frame15", "", {1080, 135, 5175, 300}, 0xffffff, 0xff0000, {PGothic, 9, true}, "single border"},
    {"Command34", "qv7::CommandButton", "Form1", "データを表示する", {7800, 5040, 1452, 375}, 0xc0c0c0, 0, {Gothic, 9, false}, "hidden"},
    {"Command52", "qv7::CommandButton", "Form1", "C01", {90, 6000, 555, 300}, 0xffc0c0, 0, {Gothic, 9, false}, ""},
};
// clang-format on

} // namespace

class TstLayout : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { panel_ = test::startPanel(line_.slavePath()); }
    void cleanup() { panel_.reset(); }
    void window();
    void controls_data();
    void controls();
    void everyRowIsBuilt();
    void tabOrder();
    void fontsResolve_data();
    void fontsResolve();
    void buttonsPaintTheirBackColour_data();
    void buttonsPaintTheirBackColour();
    void assistiveToolsFindEveryControlByItsCaption();
    void dataLinesAreNamedByTheirText();

private:
    test::PtyPair line_;
    std::unique_ptr<test::Panel> panel_;
};

void TstLayout::window()
{
    const Form1 &form = *panel_->form;
    QCOMPARE(form.windowTitle(), QStringLiteral("ORBA   QV7  CONTROL  Ver.1.30"));
    QCOMPARE(form.palette().color(QPalette::Window), QColor(192, 192, 192));
    QCOMPARE(form.font().families().first(), QString::fromUtf8(kPGothicFamily));
    QCOMPARE(form.font().pointSizeF(), 7.5);
    // A fixed size, the design's 9585 twips less the frame; it minimises but never maximises.
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QCOMPARE(form.width(), 9495 / 15);
    QCOMPARE(form.windowFlags() & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint),
             Qt::WindowMinimizeButtonHint);
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
    QCOMPARE(widget->metaObject()->className(), design.className);
    QCOMPARE(widget->parentWidget()->objectName(), QString::fromLatin1(design.container));
    QCOMPARE(widget->property("text").toString(), QString::fromUtf8(design.caption));
    QCOMPARE(widget->geometry(),
             QRect(twipsToPixels(design.rect.left), twipsToPixels(design.rect.top),
                   twipsToPixels(design.rect.width), twipsToPixels(design.rect.height)));
    auto *button = qobject_cast<CommandButton *>(widget);
    QCOMPARE(button ? button->backColor() : widget->palette().color(QPalette::Window),
             design.back ? QColor(design.back) : QApplication::palette().color(QPalette::Button));
    if (design.fore)
        QCOMPARE(widget->palette().color(QPalette::WindowText), QColor(design.fore));
    if (design.font.face == Inherit) {
        QCOMPARE(widget->font(), widget->parentWidget()->font());
    } else {
        QCOMPARE(widget->font().families().first(),
                 QString::fromUtf8(design.font.face == PGothic ? kPGothicFamily : kGothicFamily));
        QCOMPARE(widget->font().pointSizeF(), design.font.points);
        QCOMPARE(widget->font().bold(), design.font.bold);
    }

    const QByteArray other(design.other);
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QVERIFY(label->autoFillBackground());
        const Qt::Alignment horizontal = label->alignment() & Qt::AlignHorizontal_Mask;
        QCOMPARE(horizontal, other == "centred"         ? Qt::AlignHCenter
                             : other == "right-aligned" ? Qt::AlignRight
                                                        : Qt::AlignLeft);
        QCOMPARE(label->frameShape() != QFrame::NoFrame, other == "single border");
    } else if (auto *frame = qobject_cast<QFrame *>(widget)) {
        QVERIFY(frame->frameShape() != QFrame::NoFrame);
    }
    QCOMPARE(widget->isHidden(), other == "hidden");
    if (auto *option = qobject_cast<QRadioButton *>(widget))
        QCOMPARE(option->isChecked(), other == "selected");
}

void TstLayout::everyRowIsBuilt()
{
    // Every row of the layout in its container, every line two pixels wide in the design's colour
    // over its ends, the logo, and nothing else on the window.
    Form1 &form = *panel_->form;
    QCOMPARE(controlLayouts().size(), std::size_t(83));
    for (const ControlLayout &row : controlLayouts()) {
        QWidget *widget = form.control(QString::fromUtf8(row.name));
        QVERIFY2(widget, row.name.data());
        QCOMPARE(widget->parentWidget()->objectName(), row.container.empty()
                                                           ? QStringLiteral("Form1")
                                                           : QString::fromUtf8(row.container));
    }
    QCOMPARE(lineLayouts().size(), std::size_t(12));
    for (const LineLayout &row : lineLayouts()) {
        auto *line = qobject_cast<LineShape *>(form.control(QString::fromUtf8(row.name)));
        QVERIFY2(line, row.name.data());
        QVERIFY(line->geometry().contains(line->from()) && line->geometry().contains(line->to()));
        QCOMPARE(std::min(line->width(), line->height()), 2);
        QCOMPARE(line->palette().color(QPalette::Window), QColor(128, 128, 255));
    }
    const auto *upright = test::widget<LineShape>(form, "Line1");
    const auto *level = test::widget<LineShape>(form, "Line7");
    QCOMPARE(QLine(upright->from(), upright->to()), QLine(72, 160, 72, 192));
    QCOMPARE(QLine(level->from(), level->to()), QLine(72, 160, 144, 160));
    const QLabel *logo = test::widget<QLabel>(form, "Image1");
    QCOMPARE(logo->geometry(), QRect(8145 / 15, 90 / 15, 80, 26));
    QCOMPARE(logo->pixmap().size(), QSize(80, 26));

    for (QWidget *widget : form.findChildren<QWidget *>()) {
        const QString name = widget->objectName();
        QVERIFY2(findControlLayout(name.toStdString()) || name.startsWith(QLatin1String("Line")) ||
                     name == QLatin1String("Image1") || name.startsWith(QLatin1String("qt_")),
                 qPrintable(name));
    }
}

void TstLayout::tabOrder()
{
    Form1 &form = *panel_->form;
    form.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&form));
    QWidget *first = QApplication::focusWidget();
    QVERIFY(first);
    QStringList chain;
    QWidget *widget = first;
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            chain << widget->objectName();
    } while ((widget = widget->nextInFocusChain()) != first);
    QCOMPARE(chain.join(QLatin1Char(' ')),
             QStringLiteral("Command17 Command1 Command2 Command3 Command4 "
                            "Command5 Command6 Command7 "
                            "Command8 Command9 Command10 Command11 Command13 "
                            "Command14 Command16 Command18 "
                            "Command19 Command20 Command21 Command22 Command23 "
                            "Command24 Command25 Command26 "
                            "Command27 Command28 Command29 Command31 Command32 "
                            "Command33 Option1 Option2 "
                            "Command34 Command15 Command35 Command36 Command37 "
                            "Command41 Command43 Command44 "
                            "Command45 Command46 Command47 Command48 Command49 "
                            "Command50 Command51 Command52 "
                            "Command59 Command62 Option3 Option4"));
    for (auto *label : form.findChildren<QLabel *>())
        QCOMPARE(label->focusPolicy(), Qt::NoFocus);
}

void TstLayout::fontsResolve_data()
{
    QTest::addColumn<int>("face");
    QTest::addColumn<QString>("substitute");
    QTest::addColumn<QString>("text");
    QTest::newRow("Gothic, Japanese")
        << int(Gothic) << "IPAGothic" << QStringLiteral("データを表示しない");
    QTest::newRow("P-Gothic, arrows") << int(PGothic) << "IPAPGothic" << QStringLiteral("↑↓←→");
}

void TstLayout::fontsResolve()
{
    QFETCH(int, face);
    QFETCH(QString, substitute);
    QFETCH(QString, text);
    const QFont font = designFont({static_cast<Face>(face), 9.0, false});
    if (QFontInfo(font).family() != substitute)
        QSKIP(qPrintable(substitute + QStringLiteral(" is not installed")));
    for (const QChar c : text)
        QVERIFY2(QFontMetrics(font).inFont(c), qPrintable(QString(c)));
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
    const QString previous = QApplication::style()->name();
    QApplication::setStyle(style);
    for (const char *name : {"Command17", "Command6", "Command13"}) {
        CommandButton *button = test::widget<CommandButton>(*panel_->form, name);
        const QImage image = button->grab().toImage();
        // Left of the centred caption, inside the bevel.
        QCOMPARE(QColor(image.pixel(5, image.height() / 2)), button->backColor());
    }
    const QImage txd = test::widget<QLabel>(*panel_->form, "Label11")->grab().toImage();
    QCOMPARE(QColor(txd.pixel(txd.width() / 2, txd.height() / 2)), QColor(Qt::white));
    QApplication::setStyle(previous);
}

void TstLayout::assistiveToolsFindEveryControlByItsCaption()
{
    for (QAbstractButton *widget : panel_->form->findChildren<QAbstractButton *>()) {
        QAccessibleInterface *control = QAccessible::queryAccessibleInterface(widget);
        QVERIFY2(control && !widget->text().isEmpty(), qPrintable(widget->objectName()));
        QCOMPARE(control->text(QAccessible::Name), widget->text());
        QCOMPARE(control->role(), qobject_cast<QRadioButton *>(widget) ? QAccessible::RadioButton
                                                                       : QAccessible::Button);
    }
}

void TstLayout::dataLinesAreNamedByTheirText()
{
    Form1 &form = *panel_->form;
    test::keyDown(form, Qt::Key_J, 2);
    test::click(form, "Command44");
    QCOMPARE(test::widget<QLabel>(form, "Label11")->text(), QStringLiteral(" C R 0 CR "));
    for (const char *name : {"Label11", "Label12", "Label25"}) {
        QLabel *label = test::widget<QLabel>(form, name);
        label->setText(QStringLiteral(" Power ON"));
        QAccessibleInterface *line = QAccessible::queryAccessibleInterface(label);
        QCOMPARE(line->text(QAccessible::Name), label->text());
        QVERIFY(!line->text(QAccessible::Description).isEmpty());
    }
}

QTEST_MAIN(TstLayout)
#include "tst_layout.moc"
