// SettingsStyle: the settings window's look, taken from the desktop's palette so it reads well in
// light and dark themes alike.
#pragma once

#include <QColor>
#include <QPalette>

class QFrame;
class QLabel;

namespace vantorelle::settingsstyle {

bool isDark(const QPalette& palette);
// The "all done" green, readable on the palette's window colour.
QColor goodColor(const QPalette& palette);

// A rounded panel a shade off the window colour.
void makeCard(QFrame* frame);
void makeTitle(QLabel* label);
void makeSectionTitle(QLabel* label);
// Smaller, dimmer text for explanations.
void makeSecondary(QLabel* label);
void setTextColor(QLabel* label, const QColor& color);

} // namespace vantorelle::settingsstyle
