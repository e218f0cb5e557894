#include "menubar/ui/ViewerTheme.hpp"

#include <QString>

namespace kova::menubar::ViewerTheme {

QString css(const QColor& colour) {
    return colour.name(QColor::HexRgb);
}

} // namespace kova::menubar::ViewerTheme
