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
    QPainterPathStroker stroker;
    stroker.setCapStyle(Qt::RoundCap);
    const auto stroke = [&](const QPainterPath& line, qreal width) {
        stroker.setWidth(width * s);
        features.addPath(stroker.createStroke(line));
    };
    // Open eyes are round; closed ones are downward arcs, stroked into shapes so they can be cut out
    // too. Waking, one eye opens before the other.
    const auto openEye = [&](qreal x) { features.addEllipse(QRectF(at(x, 0.46), QSizeF(0.10 * s, 0.12 * s))); };
    const auto closedEye = [&](qreal x) {
        QPainterPath lid;
        lid.moveTo(at(x, 0.54));
        lid.quadTo(at(x + 0.07, 0.61), at(x + 0.14, 0.54));
        stroke(lid, 0.045);
    };
    if (mood == Mood::awake) {
        openEye(0.31);
        openEye(0.59);
    } else if (mood == Mood::waking) {
        closedEye(0.27);
        openEye(0.59);
    } else {
        closedEye(0.29);
        closedEye(0.57);
    }
    if (mood == Mood::waking) {
        // A small yawn.
        features.addEllipse(QRectF(at(0.45, 0.66), QSizeF(0.10 * s, 0.09 * s)));
    } else {
        QPainterPath smile;
        const qreal mouthY = 0.70;
        const qreal depth = mood == Mood::awake ? 0.09 : 0.04;
        smile.moveTo(at(0.40, mouthY));
        smile.quadTo(at(0.50, mouthY + depth), at(0.60, mouthY));
        stroke(smile, 0.05);
    }

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
