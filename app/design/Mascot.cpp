// Mascot: drawing only; sizes are in fractions of the bounds so every size stays crisp.
#include "design/Mascot.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>

namespace vantorelle::design {

QColor accentColor()
{
    return QColor::fromRgbF(1.0f, 0.4196f, 0.2392f);
}

void paintMascot(QPainter& painter, const QRectF& bounds, Mood mood, bool monochrome, const QColor& ink)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = std::min(bounds.width(), bounds.height());
    const QPointF origin(bounds.x() + (bounds.width() - s) / 2, bounds.y() + (bounds.height() - s) / 2);
    const auto at = [&](qreal x, qreal y) { return origin + QPointF(x * s, y * s); };

    const QColor skin = monochrome ? ink : accentColor();
    const QColor leaf = monochrome ? ink : QColor(0x4c, 0xaf, 0x50);
    const QColor face = monochrome ? ink : QColor(0x3b, 0x23, 0x1c);

    // The leaf sits on top, tilted, so the silhouette reads as a fruit even at 16 pixels.
    QPainterPath leafPath;
    leafPath.moveTo(at(0.50, 0.24));
    leafPath.cubicTo(at(0.52, 0.06), at(0.72, 0.02), at(0.86, 0.06));
    leafPath.cubicTo(at(0.80, 0.20), at(0.64, 0.26), at(0.50, 0.24));
    painter.setPen(Qt::NoPen);
    painter.setBrush(leaf);
    painter.drawPath(leafPath);

    QPainterPath body;
    body.addEllipse(QRectF(at(0.08, 0.20), QSizeF(0.84 * s, 0.76 * s)));

    // The face: in colour it is drawn on the skin; in monochrome it is cut out of the body.
    QPainterPath features;
    const qreal eyeY = mood == Mood::awake ? 0.52 : 0.54;
    if (mood == Mood::awake) {
        features.addEllipse(QRectF(at(0.31, eyeY - 0.06), QSizeF(0.10 * s, 0.12 * s)));
        features.addEllipse(QRectF(at(0.59, eyeY - 0.06), QSizeF(0.10 * s, 0.12 * s)));
    } else {
        // Closed eyes: two downward arcs, stroked into shapes so they can be cut out too.
        for (qreal x : {0.29, 0.57}) {
            QPainterPath lid;
            lid.moveTo(at(x, eyeY));
            lid.quadTo(at(x + 0.07, eyeY + 0.07), at(x + 0.14, eyeY));
            QPainterPathStroker stroker;
            stroker.setWidth(0.045 * s);
            stroker.setCapStyle(Qt::RoundCap);
            features.addPath(stroker.createStroke(lid));
        }
    }
    QPainterPath smile;
    const qreal mouthY = 0.70;
    const qreal depth = mood == Mood::awake ? 0.09 : 0.04;
    smile.moveTo(at(0.40, mouthY));
    smile.quadTo(at(0.50, mouthY + depth), at(0.60, mouthY));
    QPainterPathStroker stroker;
    stroker.setWidth(0.05 * s);
    stroker.setCapStyle(Qt::RoundCap);
    features.addPath(stroker.createStroke(smile));

    if (monochrome) {
        painter.setBrush(skin);
        painter.drawPath(body.subtracted(features));
    } else {
        painter.setBrush(skin);
        painter.drawPath(body);
        // A highlight gives the skin some roundness.
        painter.setBrush(QColor(255, 255, 255, 70));
        painter.drawEllipse(QRectF(at(0.20, 0.30), QSizeF(0.16 * s, 0.10 * s)));
        painter.setBrush(face);
        painter.drawPath(features);
    }
    painter.restore();
}

QImage mascotImage(Mood mood, int size, qreal scale)
{
    const int pixels = std::max(1, qRound(size * scale));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(scale);
    QPainter painter(&image);
    paintMascot(painter, QRectF(0, 0, size, size), mood);
    return image;
}

QIcon trayIcon(Mood mood, const QString& countdown, const QColor& ink)
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        if (countdown.isEmpty()) {
            paintMascot(painter, QRectF(0, 0, size, size), mood, true, ink);
        } else {
            // The mascot shrinks to the upper part; the time takes the lower third.
            paintMascot(painter, QRectF(0, 0, size, size * 0.62), mood, true, ink);
            QFont font;
            font.setPixelSize(std::max(7, qRound(size * 0.36)));
            font.setBold(true);
            painter.setFont(font);
            painter.setPen(ink);
            painter.drawText(QRectF(0, size * 0.60, size, size * 0.40), Qt::AlignCenter, countdown);
        }
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

} // namespace vantorelle::design
