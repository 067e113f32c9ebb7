#include "webpage.h"

#include "layout/layout.h"
#include "protocol/commandtable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace qv7::bridge::webpage {

namespace {

// Lengths in the stylesheet are in design pixels times --u, which makes the window as wide as
// its container; type sizes likewise, at 96 pixels to the inch.
std::string length(double pixels)
{
    char text[48];
    std::snprintf(text, sizeof text, "calc(%g * var(--u))", pixels);
    return text;
}

std::string colour(const Rgb &rgb)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", rgb.red, rgb.green, rgb.blue);
    return text;
}

double luminance(const Rgb &rgb)
{
    const auto linear = [](std::uint8_t channel) {
        const double c = channel / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(rgb.red) + 0.7152 * linear(rgb.green) + 0.0722 * linear(rgb.blue);
}

// A text colour darkened, keeping its hue, until it reads against its background with the
// contrast that small type needs on the web (4.5:1); the design's red on grey has 3.6:1.
Rgb readable(Rgb fore, const Rgb &back)
{
    const double light = luminance(back) + 0.05;
    while (light / (luminance(fore) + 0.05) < 4.5 && (fore.red || fore.green || fore.blue))
        fore = {std::uint8_t(fore.red * 0.95), std::uint8_t(fore.green * 0.95),
                std::uint8_t(fore.blue * 0.95)};
    return fore;
}

std::string fontRule(const FontSpec &font)
{
    if (font.face == Face::Inherit)
        return {};
    std::string families;
    for (const std::string_view family : faceFamilies(font.face)) {
        const bool generic = family == "monospace" || family == "sans-serif";
        families += (families.empty() ? "" : ",") +
                    (generic ? std::string(family) : '"' + std::string(family) + '"');
    }
    return "font-family:" + families + ";font-size:" + length(font.points * 96 / 72) +
           ";font-weight:" + (font.bold ? "700" : "400") + ';';
}

bool shown(const ControlLayout &control)
{
    // The port panel and the panel's own switches stay on the desktop: the daemon's line has
    // its port in the inventory.
    for (const ControlLayout *c = &control; c; c = findControlLayout(c->container)) {
        if (c->flags & kHidden)
            return false;
        if (c->container.empty())
            break;
    }
    return true;
}

// What a button does on the web: a click, a hold, or leaving for the list of projectors.
std::string_view kind(const ControlLayout &button)
{
    if (findOneShot(button.name))
        return "click";
    if (findHold(button.name))
        return "hold";
    if (button.caption == "END")
        return "end";
    return {};
}

std::string page(std::string_view title, std::string_view bodyClass, std::string_view head,
                 std::string_view body)
{
    return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
           "<title>" +
           escaped(title) + "</title><link rel=\"stylesheet\" href=\"/static/web.css\">" +
           std::string(head) + "</head><body class=\"" + std::string(bodyClass) + "\">" +
           std::string(body) + "</body></html>\n";
}

std::string bar(bool loggedIn, std::string_view extra)
{
    std::string html =
        "<header class=\"bar\"><a href=\"/\">All projectors</a>" + std::string(extra);
    if (loggedIn)
        html += "<form method=\"post\" action=\"/logout\"><button type=\"submit\">Log "
                "out</button></form>";
    return html + "</header>";
}

void addControls(std::string &html, std::string_view container)
{
    for (const ControlLayout &control : controlLayouts()) {
        if (control.container != container || !shown(control))
            continue;
        const std::string id = escaped(control.name);
        switch (control.type) {
        case ControlType::Frame: {
            const std::string title = groupCaption(control);
            html += "<div class=\"frame\" role=\"group\" id=\"" + id + "\"";
            if (!title.empty())
                html += " aria-label=\"" + escaped(title) + "\"";
            html += '>';
            addControls(html, control.name);
            html += "</div>";
            break;
        }
        case ControlType::Label:
            if (const DataLine *line = findDataLine(control.name)) {
                html += "<div class=\"data\" role=\"status\" aria-live=\"polite\" id=\"" + id +
                        "\" aria-label=\"" + escaped(line->name) + "\" aria-description=\"" +
                        escaped(line->description) + "\"></div>";
            } else {
                html += "<span class=\"label\" id=\"" + id + "\"";
                // A frame's title names its group already.
                if (!control.container.empty() && groupCaption(control) == control.caption)
                    html += " aria-hidden=\"true\"";
                html += '>' + escaped(control.caption) + "</span>";
            }
            break;
        case ControlType::CommandButton: {
            const std::string_view does = kind(control);
            html += "<button type=\"button\" id=\"" + id + "\" aria-label=\"" +
                    escaped(accessibleName(control)) + "\"";
            if (does.empty())
                html += " disabled";
            else
                html += " data-kind=\"" + std::string(does) + "\"";
            html += '>' + escaped(control.caption) + "</button>";
            break;
        }
        case ControlType::OptionButton:
            break;
        }
    }
}

} // namespace

std::string escaped(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '<':
            result += "&lt;";
            break;
        case '>':
            result += "&gt;";
            break;
        case '&':
            result += "&amp;";
            break;
        case '"':
            result += "&quot;";
            break;
        case '\'':
            result += "&#39;";
            break;
        default:
            result += c;
        }
    }
    return result;
}

std::string panelPath(std::string_view projector)
{
    std::string path = "/projector/";
    for (const unsigned char c : projector) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.' || c == '~';
        if (plain) {
            path += char(c);
        } else {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            path += escape;
        }
    }
    return path;
}

std::string panel(std::string_view projector, bool loggedIn)
{
    const FormLayout &form = formLayout();
    std::string body =
        bar(loggedIn, "<span class=\"link\" id=\"link\" role=\"status\" aria-label=\"Link\">"
                      "connecting</span><span id=\"notice\" role=\"alert\"></span>");
    body += "<main class=\"stage\"><div class=\"window\"><h1 class=\"title\">" +
            escaped(form.caption) + "<span class=\"projector\"> — " + escaped(projector) +
            "</span></h1><div class=\"form\" id=\"Form1\" data-socket=\"" +
            escaped(panelPath(projector)) + "/socket\">";
    for (const LineLayout &line : lineLayouts())
        body += "<div class=\"line\" id=\"" + escaped(line.name) + "\"></div>";
    body += "<img class=\"image\" id=\"" + escaped(imageLayout().name) +
            "\" src=\"/static/logo.svg\" alt=\"Logo\">";
    addControls(body, "");
    body += "</div></div></main>";
    return page(std::string(projector) + " — " + std::string(form.caption), "panel",
                "<link rel=\"stylesheet\" href=\"/static/layout.css\">"
                "<script src=\"/static/socket.js\" defer></script>"
                "<script src=\"/static/panel.js\" defer></script>",
                body);
}

std::string logoSvg()
{
    // One path per colour, a rectangle per run of a row.
    const auto xpm = logoPixmap();
    int width = 0, height = 0, colours = 0, chars = 0;
    std::sscanf(xpm[0], "%d %d %d %d", &width, &height, &colours, &chars);
    std::map<std::string_view, std::string_view> colourOf;
    for (int i = 1; i <= colours; ++i) {
        const std::string_view line = xpm[std::size_t(i)];
        colourOf[line.substr(0, std::size_t(chars))] = line.substr(line.rfind(' ') + 1);
    }
    std::map<std::string_view, std::string> paths;
    for (int y = 0; y < height; ++y) {
        const std::string_view row = xpm[std::size_t(1 + colours + y)];
        const auto pixel = [&](int x) {
            return row.substr(std::size_t(x * chars), std::size_t(chars));
        };
        for (int x = 0; x < width;) {
            int run = 1;
            while (x + run < width && pixel(x + run) == pixel(x))
                ++run;
            paths[colourOf[pixel(x)]] += 'M' + std::to_string(x) + ' ' + std::to_string(y) + 'h' +
                                         std::to_string(run) + "v1h-" + std::to_string(run) + 'z';
            x += run;
        }
    }
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 " +
                      std::to_string(width) + ' ' + std::to_string(height) +
                      "\" shape-rendering=\"crispEdges\">";
    for (const auto &[colour, path] : paths) {
        if (colour != "None")
            svg += "<path fill=\"" + std::string(colour) + "\" d=\"" + path + "\"/>";
    }
    return svg + "</svg>\n";
}

std::string layoutStylesheet()
{
    const FormLayout &form = formLayout();
    const Rect client = inPixels(
        {0, 0, form.width - 2 * form.frameWidth, kFullHeight - form.titleHeight - form.frameWidth});
    std::string css = ".form{--u:calc(100cqw / " + std::to_string(client.width) +
                      ");position:relative;width:100%;height:" + length(client.height) +
                      ";background:" + colour(form.back) + ";color:" + colour(form.fore) + ';' +
                      fontRule(form.font) + "}\n";
    for (const ControlLayout &control : controlLayouts()) {
        if (!shown(control))
            continue;
        const Rect r = inPixels(control.rect);
        css += '#' + std::string(control.name) + "{left:" + length(r.left) +
               ";top:" + length(r.top) + ";width:" + length(r.width) +
               ";height:" + length(r.height) + ';' + fontRule(control.font);
        if (control.back)
            css += "background:" + colour(*control.back) + ';';
        if (control.fore)
            css +=
                "color:" + colour(readable(*control.fore, control.back.value_or(form.back))) + ';';
        if (control.flags & kCentred)
            css += "text-align:center;";
        if (control.flags & kRightAligned)
            css += "text-align:right;";
        css += "}\n";
    }
    const ImageLayout &image = imageLayout();
    css += '#' + std::string(image.name) + "{left:" + length(twipsToPixels(image.left)) +
           ";top:" + length(twipsToPixels(image.top)) + ";width:" + length(image.widthPixels) +
           ";height:" + length(image.heightPixels) + "}\n";
    for (const LineLayout &line : lineLayouts()) {
        const Rect r = inPixels({std::min(line.x1, line.x2), std::min(line.y1, line.y2),
                                 std::abs(line.x2 - line.x1), std::abs(line.y2 - line.y1)});
        css += '#' + std::string(line.name) + "{left:" + length(r.left) + ";top:" + length(r.top) +
               ";width:" + length(std::max(r.width, form.lineWidthPixels)) +
               ";height:" + length(std::max(r.height, form.lineWidthPixels)) +
               ";background:" + colour(form.lineColour) + "}\n";
    }
    return css;
}

namespace {

// A group's buttons that switch all its projectors, each through its owner.
std::string groupButtons(const std::string &group)
{
    std::string buttons;
    for (const char *power : {"on", "off"})
        buttons += std::string(" <button type=\"button\" data-power=\"") + power +
                   "\" aria-label=\"Switch every projector of " + escaped(group) + " " + power +
                   "\">All " + power + "</button>";
    return buttons;
}

} // namespace

std::string index(std::vector<ListedProjector> projectors, std::string_view host, bool loggedIn)
{
    // One body of rows per group, as the inventories group them; the script adds the venue's
    // other projectors to them as they are heard of.
    std::ranges::stable_sort(projectors, {}, &ListedProjector::group);
    std::string bodies;
    for (auto it = projectors.begin(); it != projectors.end();) {
        const std::string group = it->group;
        bodies +=
            "<tbody data-group=\"" + escaped(group) +
            "\"><tr><th colspan=\"7\" scope=\"rowgroup\">" +
            (group.empty() ? std::string("In no group") : escaped(group) + groupButtons(group)) +
            "</th></tr>";
        for (; it != projectors.end() && it->group == group; ++it) {
            const std::string id = escaped(it->name);
            bodies += "<tr data-projector=\"" + id + "\"><th scope=\"row\"><a href=\"" +
                      escaped(panelPath(it->name)) + "\">" + id +
                      "</a></th><td data-field=\"host\">" + escaped(host) +
                      "</td><td data-field=\"power\"></td><td data-field=\"input\"></td>"
                      "<td data-field=\"lampHours\"></td><td data-field=\"link\"></td><td "
                      "data-field=\"outcome\"></td></tr>";
        }
        bodies += "</tbody>";
    }
    return page("Projectors", "index",
                "<script src=\"/static/socket.js\" defer></script>"
                "<script src=\"/static/index.js\" defer></script>",
                bar(loggedIn, "") +
                    "<main><h1>Projectors</h1><table id=\"projectors\" data-socket=\"/socket\">"
                    "<caption>State as the daemons last read it, live</caption><thead><tr>"
                    "<th scope=\"col\">Projector</th><th scope=\"col\">Host</th><th "
                    "scope=\"col\">Power</th><th scope=\"col\">Input</th><th scope=\"col\">Lamp "
                    "hours</th><th scope=\"col\">Link</th><th scope=\"col\">Group action</th></tr>"
                    "</thead>" +
                    bodies + "</table></main>");
}

std::string login(std::string_view error)
{
    std::string body = "<main><h1>Projectors</h1><form class=\"login\" method=\"post\" "
                       "action=\"/login\"><label for=\"password\">Password</label><input "
                       "type=\"password\" id=\"password\" name=\"password\" "
                       "autocomplete=\"current-password\" required autofocus>";
    if (!error.empty())
        body += "<p class=\"error\" role=\"alert\">" + escaped(error) + "</p>";
    return page("Log in — projectors", "login", "",
                body + "<button type=\"submit\">Log in</button></form></main>");
}

std::string problem(std::string_view title, std::string_view text)
{
    return page(title, "problem", "",
                "<main><h1>" + escaped(title) + "</h1><p>" + escaped(text) +
                    "</p><p><a href=\"/\">All projectors</a></p></main>");
}

} // namespace qv7::bridge::webpage
