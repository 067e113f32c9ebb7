#pragma once

#include "panel/layout.h"

#include <QFont>
#include <QStringList>

namespace qv7 {

// The families asked for a face, best first: the design's face, then metric-compatible
// substitutes, then anything that still shows the arrows and the Japanese captions.
QStringList fontFamilies(Face face);

// The font of a control; a face of Inherit is not a font of its own and is not asked for.
QFont designFont(const FontSpec &style);

} // namespace qv7
