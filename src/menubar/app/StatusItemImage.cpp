#include "menubar/app/StatusItemImage.hpp"

#include <QFontDatabase>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

namespace kova::menubar {

QImage statusItemImage(qreal devicePixelRatio) {
    const qreal ratio = std::max<qreal>(1.0, devicePixelRatio);
    const QSizeF size(28, 18);
    QImage image((size * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(ratio);
    image.fill(Qt::transparent);

    QPainter painter(&image);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(13);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, -0.3);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.setClipRect(QRectF(QPointF(0, 0), size));
    painter.drawText(QRectF(QPointF(0, 0.5), size), Qt::AlignCenter | Qt::TextSingleLine,
                     QStringLiteral("Kova"));
    return image;
}

QIcon statusItemIcon(qreal devicePixelRatio) {
    QIcon icon(QPixmap::fromImage(statusItemImage(devicePixelRatio)));
#ifdef Q_OS_MACOS
    icon.setIsMask(true);
#endif
    return icon;
}

} // namespace kova::menubar
