#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qv7 {

// Lengths of the layout are in twips; the screen shows 15 twips to the pixel.
inline constexpr int kTwipsPerPixel = 15;
constexpr int twipsToPixels(double twips)
{
    return static_cast<int>(twips / kTwipsPerPixel + (twips >= 0 ? 0.5 : -0.5));
}

struct Rgb {
    std::uint8_t red, green, blue;
    friend bool operator==(const Rgb &, const Rgb &) = default;
};

enum class Face { Gothic, PGothic, Inherit };

struct FontSpec {
    Face face;
    double points;
    bool bold;
    friend bool operator==(const FontSpec &, const FontSpec &) = default;
};
inline constexpr FontSpec kInherit{Face::Inherit, 0.0, false};

// The design's font faces, by which the panel asks for them.
inline constexpr std::string_view kGothicFamily = "ＭＳ ゴシック";
inline constexpr std::string_view kPGothicFamily = "ＭＳ Ｐゴシック";
// A face's family, then those that stand in for it where it is missing, best first.
std::span<const std::string_view> faceFamilies(Face face);

enum class ControlType { Frame, Label, CommandButton, OptionButton };

struct Rect {
    int left, top, width, height;
    friend bool operator==(const Rect &, const Rect &) = default;
};

// A rectangle of the layout, given in twips, in pixels.
constexpr Rect inPixels(const Rect &twips)
{
    return {twipsToPixels(twips.left), twipsToPixels(twips.top), twipsToPixels(twips.width),
            twipsToPixels(twips.height)};
}

enum ControlFlag : unsigned {
    kCentred = 1u << 0,
    kRightAligned = 1u << 1,
    kSingleBorder = 1u << 2,
    kHidden = 1u << 3,
    kSelected = 1u << 4,
};

// One control of the window. Positions are relative to the container's inner area.
struct ControlLayout {
    std::string_view name;
    ControlType type;
    std::string_view container; // empty: on the window
    std::string_view caption;   // UTF-8
    Rect rect;
    std::optional<Rgb> back; // nothing: the system's button face
    std::optional<Rgb> fore; // nothing: the system's button text
    FontSpec font;
    int tabIndex;
    unsigned flags;
};

// A decorative line on the window, in twips; the platform's style value is kept for the
// record, but at two pixels wide every style draws solid.
struct LineLayout {
    std::string_view name;
    int x1, y1, x2, y2;
    int style;
};

struct ImageLayout {
    std::string_view name;
    int left, top;
    int widthPixels, heightPixels;
};

struct FormLayout {
    std::string_view caption;
    int width, height;           // outer size at design time
    int frameWidth, titleHeight; // design window frame: left, right and bottom; top
    Rgb back, fore;
    FontSpec font;
    Rgb lineColour;
    int lineWidthPixels;
};

// Heights the window takes while the program runs.
inline constexpr int kStartHeight = 5200;
inline constexpr int kDisplayHeight = 6645;
inline constexpr int kFullHeight = 7200;
inline constexpr int kTallThreshold = 6000;

// Timer3 hides the port panel this long after the "COM" button or the display toggle.
inline constexpr int kPortPanelTimeoutMs = 5000;

const FormLayout &formLayout();
std::span<const ControlLayout> controlLayouts();
std::span<const LineLayout> lineLayouts();
const ImageLayout &imageLayout();
// The image's pixels, as an XPM: its header line, its colours, then a line a row.
std::span<const char *const> logoPixmap();

const ControlLayout *findControlLayout(std::string_view name);

// The labels that show data, for assistive tools: their name and what they are.
struct DataLine {
    std::string_view control;
    std::string_view name;
    std::string_view description;
};
const DataLine *findDataLine(std::string_view control);

// The title a control stands under: its frame's title label, or for a control on the window
// the centred label right above it ("VOL" for the volume's "+"); empty when there is none. A
// frame's own title is that of the label in it, or the names of its data lines.
std::string groupCaption(const ControlLayout &control);
// A button's name for assistive tools, unique on the window: its caption, after its group's
// title where the caption alone repeats ("POWER ON", "VOL +", "LENS SHIFT ↑").
std::string accessibleName(const ControlLayout &button);

} // namespace qv7
