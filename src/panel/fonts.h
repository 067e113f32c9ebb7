#pragma once

#include "layout/layout.h"

#include <QFont>
#include <QStringList>

namespace qv7 {

// The families asked for a face, best first: the design's face, then metric-compatible
// substitutes, then anything that still shows the arrows and the Japanese captions.
QStringList fontFamilies(Face face);

// The font of a control; a face of Inherit is not a font of its own and is not asked for.
QFont designFont(const FontSpec &style);

#ifdef Q_OS_WIN
// A Windows without the design's Japanese faces (or Wine) gets the faces shipped in the fonts
// folder beside the program: the IPA faces that stand in for them on Linux too.
void addShippedFaces();
#endif

} // namespace qv7
