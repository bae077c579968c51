// UpdateSettingsRow: the settings window's update line and its check or install button.
#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

namespace vantorelle {

class UpdateController;

// Follows the app model; the controller must outlive the row.
class UpdateSettingsRow : public QWidget
{
    Q_OBJECT
public:
    explicit UpdateSettingsRow(UpdateController& controller, QWidget* parent = nullptr);

    QLabel* line() const { return m_line; }
    QPushButton* button() const { return m_button; }

private:
    void refresh();

    UpdateController& m_controller;
    QLabel* m_line;
    QPushButton* m_button;
};

} // namespace vantorelle
