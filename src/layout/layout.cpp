#include "layout.h"

#include "logo.xpm"

#include <algorithm>
#include <array>

namespace qv7 {

namespace {

// clang-format off
constexpr FormLayout kForm{
    "ORBA   QV7  CONTROL  Ver.1.30", 9585, 7200, 45, 330, Rgb{192, 192, 192}, Rgb{0, 0, 0},
    FontSpec{Face::PGothic, 7.5, false}, Rgb{128, 128, 255}, 2,
};

constexpr auto Frame = ControlType::Frame;
constexpr auto Label = ControlType::Label;
constexpr auto Button = ControlType::CommandButton;
constexpr auto Option = ControlType::OptionButton;
constexpr Rgb kGrey{192, 192, 192};
constexpr bool kBold = true;
constexpr FontSpec gothic(double points, bool bold = false) { return {Face::Gothic, points, bold}; }
constexpr FontSpec pGothic(double points, bool bold = false) { return {Face::PGothic, points, bold}; }

// Containers come before what they contain, so the window can build the table in order.
// name, type, container, caption, {left, top, width, height}, back, fore, font, tab index, flags
constexpr std::array kControls = std::to_array<ControlLayout>({
    {"Frame1", Frame, "", "", {120, 120, 1695, 975}, kGrey, Rgb{128, 128, 128}, pGothic(9), 0, 0},
    {"Label1", Label, "Frame1", "POWER", {120, 240, 1440, 315}, kGrey, Rgb{192, 0, 0}, gothic(9, kBold), 2, kCentred},
    {"Command17", Button, "Frame1", "ON", {120, 600, 615, 300}, Rgb{192, 255, 192}, {}, gothic(9, kBold), 1, 0},
    {"Command18", Button, "Frame1", "OFF", {960, 600, 615, 300}, Rgb{255, 192, 192}, {}, gothic(9, kBold), 30, 0},
    {"Frame2", Frame, "", "", {2160, 120, 3255, 972}, kGrey, {}, pGothic(9), 3, 0},
    {"Label2", Label, "Frame2", "INPUT SELECT", {240, 225, 2895, 330}, kGrey, {}, gothic(9, kBold), 4, kCentred},
    {"Command27", Button, "Frame2", "PC 1", {240, 600, 855, 300}, Rgb{192, 255, 255}, {}, gothic(9, kBold), 39, 0},
    {"Command28", Button, "Frame2", "PC 2", {1200, 600, 855, 300}, Rgb{192, 255, 255}, {}, gothic(9, kBold), 40, 0},
    {"Command29", Button, "Frame2", "Video", {2160, 600, 975, 300}, Rgb{192, 255, 255}, {}, gothic(9, kBold), 41, 0},
    {"Frame6", Frame, "", "", {5880, 120, 1692, 972}, kGrey, {}, pGothic(9), 14, 0},
    {"Label7", Label, "Frame6", "MENU", {120, 240, 1455, 315}, kGrey, {}, gothic(9, kBold), 15, kCentred},
    {"Command23", Button, "Frame6", "ON", {120, 600, 615, 300}, Rgb{192, 255, 192}, {}, gothic(9, kBold), 35, 0},
    {"Command24", Button, "Frame6", "OFF", {960, 600, 615, 300}, Rgb{255, 192, 192}, {}, gothic(9, kBold), 36, 0},
    {"Frame3", Frame, "", "", {120, 1200, 1815, 972}, kGrey, {}, pGothic(9), 8, 0},
    {"Label4", Label, "Frame3", "AUDIO MUTE", {120, 240, 1575, 315}, kGrey, {}, gothic(9, kBold), 9, kCentred},
    {"Command19", Button, "Frame3", "ON", {240, 600, 615, 300}, Rgb{192, 255, 192}, {}, gothic(9, kBold), 31, 0},
    {"Command20", Button, "Frame3", "OFF", {960, 600, 615, 300}, Rgb{255, 192, 192}, {}, gothic(9, kBold), 32, 0},
    {"Frame4", Frame, "", "", {2040, 1200, 1815, 972}, kGrey, {}, pGothic(9), 10, 0},
    {"Label5", Label, "Frame4", "VIDEO MUTE", {120, 240, 1575, 315}, kGrey, {}, gothic(9, kBold), 11, kCentred},
    {"Command21", Button, "Frame4", "ON", {240, 600, 615, 300}, Rgb{192, 255, 192}, {}, gothic(9, kBold), 33, 0},
    {"Command22", Button, "Frame4", "OFF", {1080, 600, 615, 300}, Rgb{255, 192, 192}, {}, gothic(9, kBold), 34, 0},
    {"Frame7", Frame, "", "", {3960, 1200, 1572, 972}, kGrey, {}, pGothic(9), 25, 0},
    {"Label8", Label, "Frame7", "FREEZE", {120, 240, 1335, 315}, kGrey, {}, gothic(9, kBold), 26, kCentred},
    {"Command25", Button, "Frame7", "ON", {120, 600, 615, 300}, Rgb{192, 255, 192}, {}, gothic(9, kBold), 37, 0},
    {"Command26", Button, "Frame7", "OFF", {840, 600, 615, 300}, Rgb{255, 192, 192}, {}, gothic(9, kBold), 38, 0},
    {"Frame5", Frame, "", "", {5640, 1200, 2055, 972}, kGrey, {}, pGothic(9), 12, 0},
    {"Label6", Label, "Frame5", "VIDEO  SCREEN", {120, 240, 1815, 315}, kGrey, {}, gothic(9, kBold), 13, kCentred},
    {"Command31", Button, "Frame5", "Normal", {120, 600, 855, 300}, Rgb{192, 255, 255}, {}, gothic(9), 42, 0},
    {"Command32", Button, "Frame5", "Wide", {1080, 600, 855, 300}, Rgb{192, 255, 255}, {}, gothic(9), 43, 0},
    {"Frame10", Frame, "", "", {7755, 720, 1680, 1485}, kGrey, {}, kInherit, 73, 0},
    {"Label20", Label, "Frame10", "LENS SHIFT", {90, 300, 1470, 360}, kGrey, {}, gothic(9, kBold), 76, kCentred},
    {"Command59", Button, "Frame10", "↑", {555, 705, 492, 252}, Rgb{255, 224, 192}, {}, kInherit, 74, 0},
    {"Command62", Button, "Frame10", "↓", {570, 1095, 492, 252}, Rgb{255, 224, 192}, {}, kInherit, 75, 0},
    {"Label3", Label, "", "VOL", {3420, 2520, 750, 300}, kGrey, {}, gothic(9, kBold), 7, kCentred},
    {"Command1", Button, "", "+", {3600, 2880, 375, 255}, Rgb{255, 192, 128}, {}, pGothic(9, kBold), 5, 0},
    {"Command2", Button, "", "-", {3600, 3240, 375, 255}, Rgb{255, 192, 128}, {}, pGothic(9, kBold), 6, 0},
    {"Label13", Label, "", "Zoom", {4260, 2520, 795, 300}, kGrey, {}, gothic(9), 56, kCentred},
    {"Command15", Button, "", "+", {4440, 2880, 375, 255}, Rgb{255, 224, 192}, {}, pGothic(9), 54, 0},
    {"Command35", Button, "", "-", {4440, 3240, 375, 255}, Rgb{255, 224, 192}, {}, pGothic(9), 55, 0},
    {"Label14", Label, "", "Focus", {5100, 2520, 735, 285}, kGrey, {}, gothic(9), 59, kCentred},
    {"Command36", Button, "", "+", {5280, 2880, 375, 255}, Rgb{255, 224, 192}, {}, pGothic(9), 57, 0},
    {"Command37", Button, "", "-", {5280, 3240, 375, 255}, Rgb{255, 224, 192}, {}, pGothic(9), 58, 0},
    {"Label17", Label, "", "D.Zoom", {5940, 2505, 870, 300}, kGrey, {}, gothic(9), 68, kCentred},
    {"Command48", Button, "", "+", {6120, 2880, 375, 255}, Rgb{192, 255, 255}, {}, pGothic(9), 66, 0},
    {"Command49", Button, "", "-", {6120, 3240, 375, 255}, Rgb{192, 255, 255}, {}, pGothic(9), 67, 0},
    {"Label18", Label, "", "Keystone", {7050, 2520, 975, 315}, kGrey, {}, gothic(9), 71, kCentred},
    {"Command50", Button, "", "+", {7320, 2880, 375, 255}, Rgb{192, 255, 255}, {}, pGothic(9), 69, 0},
    {"Command51", Button, "", "-", {7320, 3240, 375, 255}, Rgb{192, 255, 255}, {}, pGothic(9), 70, 0},
    {"Command5", Button, "", "↑", {1200, 2520, 855, 375}, Rgb{255, 224, 192}, {}, pGothic(9, kBold), 18, 0},
    {"Command9", Button, "", "←", {240, 3000, 855, 375}, Rgb{255, 224, 192}, {}, pGothic(9, kBold), 22, 0},
    {"Command6", Button, "", "SELECT", {1200, 3000, 855, 375}, Rgb{255, 128, 0}, {}, gothic(9), 19, 0},
    {"Command8", Button, "", "→", {2160, 3000, 855, 375}, Rgb{255, 224, 192}, {}, pGothic(9, kBold), 21, 0},
    {"Command7", Button, "", "↓", {1200, 3480, 855, 375}, Rgb{255, 224, 192}, {}, pGothic(9, kBold), 20, 0},
    {"Command13", Button, "", "A-IMAGE", {8160, 2520, 1095, 250}, Rgb{0, 192, 192}, {}, gothic(9), 27, 0},
    {"Command4", Button, "", "NORMAL", {8160, 2880, 1095, 250}, Rgb{192, 192, 255}, {}, gothic(9), 17, 0},
    {"Command43", Button, "", "CURSOL", {8160, 3120, 1095, 255}, Rgb{192, 192, 255}, {}, gothic(9), 61, 0},
    {"Command14", Button, "", "P-TIMER", {8160, 3360, 1095, 250}, Rgb{192, 192, 255}, {}, gothic(9), 28, 0},
    {"Command3", Button, "", "DISPLAY CLEAR", {8160, 3600, 1095, 492}, Rgb{192, 192, 255}, {}, gothic(9), 16, 0},
    {"Command10", Button, "", "ZOOM", {120, 4320, 975, 375}, Rgb{255, 224, 192}, {}, gothic(9, kBold), 23, 0},
    {"Command11", Button, "", "FOCUS", {1200, 4320, 975, 375}, Rgb{255, 224, 192}, {}, gothic(9, kBold), 24, 0},
    {"Command41", Button, "", "Lens shift", {2280, 4365, 1170, 330}, Rgb{255, 224, 192}, {}, gothic(9), 60, 0},
    {"Command33", Button, "", "COM", {4080, 4200, 1815, 375}, {}, {}, pGothic(9), 44, 0},
    {"Command16", Button, "", "END", {8160, 4320, 1095, 375}, kGrey, {}, gothic(9, kBold), 29, 0},
    {"Frame8", Frame, "", "", {3825, 3600, 2775, 1185}, kGrey, {}, pGothic(9), 45, kHidden},
    {"Option1", Option, "Frame8", "COM1", {240, 210, 1185, 300}, kGrey, {}, gothic(9, kBold), 46, 0},
    {"Option2", Option, "Frame8", "COM2", {1515, 210, 1065, 315}, kGrey, {}, gothic(9, kBold), 47, 0},
    {"Frame11", Frame, "Frame8", "", {105, 495, 2535, 615}, kGrey, {}, kInherit, 80, 0},
    {"Option3", Option, "Frame11", "19200", {135, 165, 1080, 375}, kGrey, {}, gothic(9, kBold), 81, kSelected},
    {"Option4", Option, "Frame11", "9600", {1365, 195, 975, 315}, kGrey, {}, gothic(9, kBold), 82, 0},
    {"Frame9", Frame, "", "", {120, 4920, 6972, 948}, kGrey, {}, pGothic(9), 48, 0},
    {"Label9", Label, "Frame9", "TXD", {165, 210, 540, 345}, kGrey, {}, gothic(9), 49, kRightAligned},
    {"Label11", Label, "Frame9", "", {840, 195, 6015, 300}, Rgb{255, 255, 255}, {}, pGothic(9.75, kBold), 51, kSingleBorder},
    {"Label10", Label, "Frame9", "RXD", {120, 570, 585, 300}, kGrey, {}, gothic(9), 50, kRightAligned},
    {"Label12", Label, "Frame9", "", {825, 555, 6015, 300}, Rgb{255, 255, 255}, {}, pGothic(9.75, kBold), 52, kSingleBorder},
    {"Frame15", Frame, "", "", {720, 5880, 6372, 492}, kGrey, {}, kInherit, 77, 0},
    {"Label26", Label, "Frame15", "STATUS", {90, 135, 915, 300}, kGrey, {}, gothic(8.25), 79, 0},
    {"Label25", Label, "Frame15", "", {1080, 135, 5175, 300}, Rgb{255, 255, 255}, Rgb{255, 0, 0}, pGothic(9, kBold), 78, kSingleBorder},
    {"Command34", Button, "", "データを表示する", {7800, 5040, 1452, 375}, kGrey, {}, gothic(9), 53, kHidden},
    {"Command44", Button, "", "STATUS", {7200, 5640, 1095, 255}, Rgb{192, 255, 255}, {}, gothic(8.25, kBold), 62, 0},
    {"Command46", Button, "", "L-TIME", {8280, 5640, 1095, 255}, Rgb{192, 255, 255}, {}, gothic(8.25, kBold), 64, 0},
    {"Command45", Button, "", "MODE", {7200, 5880, 1095, 255}, Rgb{192, 255, 255}, {}, gothic(8.25, kBold), 63, 0},
    {"Command47", Button, "", "SETTING", {8280, 5880, 1095, 255}, Rgb{192, 255, 255}, {}, gothic(8.25, kBold), 65, 0},
    {"Command52", Button, "", "C01", {90, 6000, 555, 300}, Rgb{255, 192, 192}, {}, gothic(9), 72, 0},
});
// clang-format on

constexpr std::array kLines = std::to_array<LineLayout>({
    {"Line1", 1080, 2400, 1080, 2880, 6},
    {"Line2", 2160, 2400, 2160, 2880, 3},
    {"Line3", 3120, 2880, 3120, 3480, 6},
    {"Line4", 2160, 3480, 2160, 3960, 1},
    {"Line5", 1080, 3480, 1080, 3960, 6},
    {"Line6", 120, 2880, 120, 3480, 6},
    {"Line7", 1080, 2400, 2160, 2400, 3},
    {"Line8", 120, 2880, 1080, 2880, 6},
    {"Line9", 2160, 2880, 3120, 2880, 2},
    {"Line10", 120, 3480, 1080, 3480, 6},
    {"Line11", 1080, 3960, 2160, 3960, 6},
    {"Line12", 2160, 3480, 3120, 3480, 6},
});

constexpr ImageLayout kImage{"Image1", 8145, 90, 80, 26};

constexpr std::string_view kGothicFamilies[] = {kGothicFamily,           "IPAGothic",
                                                "Noto Sans Mono CJK JP", "VL Gothic",
                                                "DejaVu Sans Mono",      "monospace"};
constexpr std::string_view kPGothicFamilies[] = {kPGothicFamily, "IPAPGothic",  "Noto Sans CJK JP",
                                                 "VL PGothic",   "DejaVu Sans", "sans-serif"};

constexpr DataLine kDataLines[] = {
    {"Label11", "TXD", "TXD line: the last command sent, one token per character"},
    {"Label12", "RXD", "RXD line: the reply received, one token per character"},
    {"Label25", "Status", "Status line: the decoded reply to a query"},
};

bool isTitle(const ControlLayout &control)
{
    return control.type == ControlType::Label && (control.flags & kCentred) &&
           !control.caption.empty();
}

std::string frameTitle(std::string_view frame)
{
    std::string names;
    for (const ControlLayout &control : kControls) {
        if (control.container != frame)
            continue;
        if (isTitle(control))
            return std::string(control.caption);
        if (const DataLine *line = findDataLine(control.name))
            names += (names.empty() ? "" : " and ") + std::string(line->name);
    }
    return names;
}

} // namespace

const FormLayout &formLayout()
{
    return kForm;
}
std::span<const ControlLayout> controlLayouts()
{
    return kControls;
}
std::span<const LineLayout> lineLayouts()
{
    return kLines;
}
const ImageLayout &imageLayout()
{
    return kImage;
}

const ControlLayout *findControlLayout(std::string_view name)
{
    const auto it = std::ranges::find(kControls, name, &ControlLayout::name);
    return it == kControls.end() ? nullptr : &*it;
}

std::span<const std::string_view> faceFamilies(Face face)
{
    if (face == Face::Gothic)
        return kGothicFamilies;
    return kPGothicFamilies;
}

std::span<const char *const> logoPixmap()
{
    return kLogo;
}

const DataLine *findDataLine(std::string_view control)
{
    const auto it = std::ranges::find(kDataLines, control, &DataLine::control);
    return it == std::end(kDataLines) ? nullptr : &*it;
}

std::string groupCaption(const ControlLayout &control)
{
    if (control.type == ControlType::Frame)
        return frameTitle(control.name);
    if (!control.container.empty())
        return frameTitle(control.container);
    const ControlLayout *above = nullptr;
    const int centre = control.rect.left + control.rect.width / 2;
    for (const ControlLayout &label : kControls) {
        if (label.container.empty() && isTitle(label) && label.rect.top < control.rect.top &&
            label.rect.left <= centre && centre < label.rect.left + label.rect.width &&
            (!above || label.rect.top > above->rect.top))
            above = &label;
    }
    return above ? std::string(above->caption) : std::string();
}

std::string accessibleName(const ControlLayout &button)
{
    const auto repeats = std::ranges::count_if(kControls, [&](const ControlLayout &other) {
        return other.type == button.type && other.caption == button.caption;
    });
    const std::string group = repeats > 1 ? groupCaption(button) : std::string();
    return group.empty() ? std::string(button.caption) : group + ' ' + std::string(button.caption);
}

} // namespace qv7
