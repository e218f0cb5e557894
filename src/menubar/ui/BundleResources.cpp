#include "menubar/ui/BundleResources.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>

namespace kova::menubar {
namespace {

QImage loaded(const QString& path) {
    if (path.isEmpty() || (!path.startsWith(QLatin1Char(':')) && !QFileInfo(path).isFile())) {
        return {};
    }
    return QImageReader(path).read();
}

} // namespace

QString bundleResourceDirectory() {
    const QDir executable(QCoreApplication::applicationDirPath());
    for (const auto* candidate : {"../Resources", "resources"}) {
        const QString path = executable.filePath(QString::fromLatin1(candidate));
        if (QFileInfo(path).isDir()) {
            return QDir::cleanPath(path);
        }
    }
    return {};
}

QImage applicationImage(const QString& resourceDirectory) {
    const QDir resources(resourceDirectory);
    const auto inResources = [&](const char* name) {
        return resourceDirectory.isEmpty() ? QString() : resources.filePath(QString::fromLatin1(name));
    };
    // An icns needs an image plugin many Qt builds lack: it is passed over
    // then, and the PNG of the same icon follows.
    for (const QString& path : {inResources("PortalLogo.png"), QStringLiteral(":/AppIcon"),
                                inResources("AppIcon.icns"), inResources("AppIcon.png")}) {
        if (QImage image = loaded(path); !image.isNull()) {
            return image;
        }
    }
    return {};
}

} // namespace kova::menubar
