#pragma once

#include <QIcon>
#include <QImage>

namespace kova::menubar {

// The status item's "Kova" template image, 28 × 18 points, black on clear, at
// the given device pixel ratio. On macOS the icon is a mask the menu bar tints.
QImage statusItemImage(qreal devicePixelRatio);
QIcon statusItemIcon(qreal devicePixelRatio);

} // namespace kova::menubar
