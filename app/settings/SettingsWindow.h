// SettingsWindow: the checklist, the keys, the review sheet and the unlock options over the setup
// controller and the app model.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "settings/ReviewSheet.h"
#include "settings/SetupController.h"
#include "sys/Clock.h"
#include "sys/SecretString.h"
#include "window/UnlockWindow.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace vantorelle {

class AppModel;
class Defaults;

// GUI thread only. Closing hides it; the app keeps the one window for the rest of the run.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize contentSize{480, 560};
    static constexpr QSize minimumContentSize{480, 420};
    static constexpr QSize maximumContentSize{720, 10000};

    // `defaults` keeps the lock-on-sleep choice and the window's geometry.
    SettingsWindow(SetupController& controller, const AppModel& model, const Clock& clock, Defaults& defaults,
                   QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Clears the last message and refreshes the controller, then shows the window and raises it.
    void present();

    // Where the updates row goes; the window owns it from then on.
    void setUpdatesRow(QWidget* row);

    // The header line for the model's state at `now`: the countdown while a window runs.
    static std::string headerText(bool unlocked, const std::optional<UnlockWindow>& window, Date now);

    // What the window shows, for tests and the end-to-end drive.
    QString headerText() const;
    QString overallText() const;
    QStringList stepTexts() const; // key, ssh, command line, login
    QStringList rowStateTexts() const;
    QPushButton* connectButton() const { return m_connect; }
    ReviewSheet* reviewSheet() const { return m_sheet; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct StepView
    {
        QLabel* mark;
        QLabel* text;
    };
    struct RowView
    {
        QWidget* widget;
        QLabel* state;
    };

    void build();
    void render();
    void renderHeader();
    void renderKeys(const SetupController::State& state, const SetupController::Checklist& list);
    QWidget* passphraseForm(const SetupController::KeyRow& row, QWidget* parent);
    void showReview();
    void confirmUnmanage(const SetupController::KeyRow& row);
    void confirmAppleDelete(const SetupController::KeyRow& row);
    QMessageBox* alert(const QString& title, const QString& body);
    void restoreGeometry();
    void saveGeometry();

    SetupController& m_controller;
    const AppModel& m_model;
    const Clock& m_clock;
    Defaults& m_defaults;
    QTimer* m_tick;
    QLabel* m_mascot = nullptr;
    QLabel* m_header = nullptr;
    QLabel* m_message = nullptr;
    QLabel* m_overall = nullptr;
    StepView m_steps[4]{};
    QWidget* m_keyForm = nullptr;
    QVBoxLayout* m_keyFormSlot = nullptr;
    QPushButton* m_connect = nullptr;
    QPushButton* m_install = nullptr;
    QCheckBox* m_login = nullptr;
    QVBoxLayout* m_rowsLayout = nullptr;
    std::vector<RowView> m_rows;
    QWidget* m_migration = nullptr;
    QPushButton* m_undo = nullptr;
    QLabel* m_duration = nullptr;
    QPushButton* m_less = nullptr;
    QPushButton* m_more = nullptr;
    QCheckBox* m_lockOnSleep = nullptr;
    QComboBox* m_language = nullptr;
    QLabel* m_nextLaunch = nullptr;
    QVBoxLayout* m_updatesSlot = nullptr;
    QPointer<ReviewSheet> m_sheet;
    std::optional<SetupController::Review> m_sheetReview;
    // The row whose passphrase form is open in the key list, kept across re-renders.
    std::optional<std::filesystem::path> m_openForm;
    bool m_placed = false;
    std::string m_offered;
};

} // namespace vantorelle
