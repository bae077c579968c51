// SettingsWindow: the checklist, the keys, the review sheet and the unlock options over the setup
// controller and the app model.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>
#include <vector>

#include "platform/LanguageOverride.h"
#include "settings/ReviewSheet.h"
#include "settings/SettingsTexts.h"
#include "sys/SecretString.h"

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
class Clock;
class Defaults;

// What the window reads and the actions it asks for. The app's SetupController answers through a
// thin adapter; tests give the window states directly.
class SettingsSource : public QObject
{
    Q_OBJECT
public:
    struct Review
    {
        ReviewSheet::Kind kind = ReviewSheet::Kind::apply;
        SetupPlan plan;
        std::vector<Leftover> leftovers;
    };

    using QObject::QObject;

    virtual SettingsTexts::Facts facts() const = 0;
    virtual bool busy() const = 0;
    virtual std::optional<std::string> message() const = 0;
    virtual std::vector<Leftover> leftovers() const = 0;
    virtual double duration() const = 0;
    virtual LanguageOverride::Choice language() const = 0;
    virtual bool loginOn() const = 0;
    virtual bool setupApplied() const = 0;
    virtual std::optional<Review> review() const = 0;

    virtual void show() = 0; // clears the message and refreshes
    // `confirmation` is given for a key without a passphrase, which gets one.
    virtual void savePassphrase(std::size_t row, SecretString passphrase, std::optional<SecretString> confirmation) = 0;
    // Whether taking the row out of management would leave ssh set up with no key to serve.
    virtual bool unmanageBreaksSSH(std::size_t row) const = 0;
    virtual void unmanage(std::size_t row) = 0;
    virtual void deleteAppleEntry(std::size_t row) = 0;
    virtual void reviewApply() = 0;
    virtual void reviewUndo() = 0;
    virtual void reviewMigration() = 0;
    virtual void confirmReview() = 0;
    virtual void cancelReview() = 0;
    virtual void installCLI() = 0;
    virtual void setLoginItem(bool enabled) = 0;
    virtual void stepDuration(int step) = 0;
    virtual void setLanguage(LanguageOverride::Choice choice) = 0;

signals:
    void changed();
};

// GUI thread only. Closing hides it; the app keeps the one window for the rest of the run.
class SettingsWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize contentSize{480, 560};
    static constexpr QSize minimumContentSize{480, 420};
    static constexpr QSize maximumContentSize{720, 10000};

    // `defaults` keeps the lock-on-sleep choice and the window's geometry.
    SettingsWindow(SettingsSource& source, const AppModel& model, const Clock& clock, Defaults& defaults,
                   QWidget* parent = nullptr);
    ~SettingsWindow() override;

    // Asks the source to refresh, then shows the window and raises it.
    void present();

    // Where the updates row goes; the window owns it from then on.
    void setUpdatesRow(QWidget* row);

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
    void renderKeys(const SettingsTexts::Facts& facts, const SettingsTexts::Checklist& list);
    QWidget* passphraseForm(std::size_t row, const SettingsTexts::Row& facts, QWidget* parent);
    void showReview();
    void confirmUnmanage(std::size_t row, const QString& name);
    void confirmAppleDelete(std::size_t row);
    QMessageBox* alert(const QString& title, const QString& body);
    void restoreGeometry();
    void saveGeometry();

    SettingsSource& m_source;
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
    std::optional<ReviewSheet::Kind> m_sheetKind;
    // The row whose passphrase form is open in the key list, kept across re-renders.
    std::optional<std::filesystem::path> m_openForm;
    bool m_placed = false;
    std::string m_offered;
};

} // namespace vantorelle
