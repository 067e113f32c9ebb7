#pragma once

#include <string_view>

namespace qv7 {

// Every text that code writes onto a control, beside the traffic renderings and the status
// texts: which control shows it and when.
struct WrittenCaption {
    std::string_view control;
    std::string_view text;
};

// On the RXD line when a reply window closes with nothing received.
inline constexpr WrittenCaption kNoReplyCaption{"Label12", " X X X X"};
// On the display toggle when the key command reveals it.
inline constexpr WrittenCaption kToggleRevealedCaption{"Command34", "CLOSE"};
// On the display toggle after it shortened or enlarged the window.
inline constexpr WrittenCaption kToggleShowCaption{"Command34", "データを表示する"};
inline constexpr WrittenCaption kToggleHideCaption{"Command34", "データを表示しない"};

} // namespace qv7
