#include "settings/SettingsStyle.h"

#include <QFrame>
#include <QLabel>

namespace vantorelle::settingsstyle {

bool isDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

QColor goodColor(const QPalette& palette)
{
    return isDark(palette) ? QColor(0x6f, 0xd6, 0x8a) : QColor(0x1f, 0x8a, 0x3d);
}

void makeCard(QFrame* frame)
{
    const QPalette palette = frame->palette();
    const QColor window = palette.color(QPalette::Window);
    const QColor fill = isDark(palette) ? window.lighter(125) : window.lighter(104);
    const QColor edge = isDark(palette) ? window.lighter(160) : window.darker(112);
    frame->setObjectName(QStringLiteral("card"));
    frame->setStyleSheet(QStringLiteral("QFrame#card { background: %1; border: 1px solid %2; border-radius: 10px; }")
                             .arg(fill.name(), edge.name()));
}

void makeTitle(QLabel* label)
{
    QFont font = label->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    label->setFont(font);
}

void makeSectionTitle(QLabel* label)
{
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
}

void makeSecondary(QLabel* label)
{
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.92);
    label->setFont(font);
    QPalette palette = label->palette();
    QColor dim = palette.color(QPalette::WindowText);
    dim.setAlphaF(0.68);
    palette.setColor(QPalette::WindowText, dim);
    label->setPalette(palette);
}

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

} // namespace vantorelle::settingsstyle
