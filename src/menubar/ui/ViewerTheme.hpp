#pragma once

#include <QColor>

// The colour palette of the status window and its buttons.
namespace kova::menubar::ViewerTheme {

inline const QColor background{244, 248, 250};
inline const QColor surface{255, 255, 255};
inline const QColor field{255, 255, 255};
inline const QColor line{215, 228, 232};
inline const QColor text{23, 49, 61};
inline const QColor muted{88, 112, 122};
inline const QColor teal{10, 129, 151};
inline const QColor tealDark{6, 95, 115};
inline const QColor tealSoft{234, 247, 250};
inline const QColor orange{245, 130, 32};
// The platform's red for a connection problem.
inline const QColor systemRed{255, 59, 48};

// "#rrggbb" for style sheets.
QString css(const QColor& colour);

} // namespace kova::menubar::ViewerTheme
