// Mascot: the round, leaf-topped fruit that stands for Vantorelle, drawn awake, waking or asleep.
#pragma once

#include <QColor>
#include <QIcon>
#include <QImage>
#include <QString>

class QPainter;
class QRectF;

namespace vantorelle::design {

// Waking is the moment between: eyes half open, a small yawn, while an approval fills the juice.
enum class Mood { awake, waking, asleep };

// The accent colour of the house (menu update item, the fruit's skin).
QColor accentColor();

// Paints the mascot filling `bounds` (a square is best). `monochrome` draws it in `ink` only, with
// the face cut out, as desktop trays expect of a symbolic icon.
void paintMascot(QPainter& painter, const QRectF& bounds, Mood mood, bool monochrome = false,
                 const QColor& ink = Qt::black);

// The full-colour mascot `size` logical pixels wide at device pixel ratio `scale`.
QImage mascotImage(Mood mood, int size, qreal scale);

// The tray icon: the monochrome mascot in the tray's ink, with `countdown` (such as "1:30")
// written across its lower part when not empty. Sizes 16 to 64 are provided.
QIcon trayIcon(Mood mood, const QString& countdown, const QColor& ink);

} // namespace vantorelle::design
