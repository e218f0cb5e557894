#pragma once

#include <QImage>
#include <QString>

// The application's own files beside the program: the bundle's resources.
namespace kova::menubar {

// The bundle's Contents/Resources (on a Mac, and in an installed payload
// anywhere), else "resources" beside the program (a build folder here),
// laid out the same; empty when neither exists.
QString bundleResourceDirectory();

// The application's image for the status window's header: the first that
// loads of "PortalLogo.png" in `resourceDirectory`, the compiled-in image
// named "AppIcon", then "AppIcon.icns" and "AppIcon.png" there. Null when
// none does.
QImage applicationImage(const QString& resourceDirectory);

} // namespace kova::menubar
