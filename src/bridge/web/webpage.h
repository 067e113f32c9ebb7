#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv7::bridge::webpage {

// The pages of the web face, drawn from the window's layout table as the desktop window is:
// the same frames, captions, buttons and colours, with the service area shown, in a
// stylesheet that scales the window to the width of the screen. Scripts and styles come from
// files of the daemon's own, so that the pages need no inline code.

// "<" and "&" and quotes as entities.
std::string escaped(std::string_view text);

// The window for one projector.
std::string panel(std::string_view projector, bool loggedIn);
// Where every control of the window sits, and its colours and font.
std::string layoutStylesheet();
// The window's logo.
std::string logoSvg();

// The list of projectors, each a link to its window, in their groups; host: this daemon's.
// The script fills in their state and adds the venue's other projectors.
struct ListedProjector {
    std::string name;
    std::string group;
};
std::string index(std::vector<ListedProjector> projectors, std::string_view host, bool loggedIn);
// The password form; error: why the last attempt failed, or empty.
std::string login(std::string_view error);
// A page that says what was wrong.
std::string problem(std::string_view title, std::string_view text);

// The path of a projector's window: "/projector/" and its name, percent-encoded.
std::string panelPath(std::string_view projector);

} // namespace qv7::bridge::webpage
