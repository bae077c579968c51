// DialogPanels: the floating panels that show the unlock and question dialogs.
#pragma once

#include <QWidget>
#include <functional>

#include "dialogs/DialogPresenter.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTimer;
class QVBoxLayout;

namespace vantorelle {

// A frameless, always-on-top tool window in the light palette whatever the desktop's theme,
// movable by its background. Escape cancels; focus changes are reported as they happen.
class DialogPanel : public QWidget
{
    Q_OBJECT
public:
    static constexpr QSize size{290, 300};

    DialogPanel();

    std::function<void()> onCancel = [] {};
    std::function<void(bool isKey)> onKeyChange = [](bool) {};

    // Centred on the screen under the pointer (where the window system lets a client place
    // itself), shown and activated.
    void present();
    void fadeOut(double seconds);

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    QPoint m_dragOffset;
    bool m_dragging = false;
};

// The mascot over its fill: asleep, waking as the fill rises, awake.
class JuiceView : public QWidget
{
public:
    JuiceView(const UnlockModel& model, const DialogClock& clock, QWidget* parent);
    void follow();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    double level() const;

    const UnlockModel& m_model;
    const DialogClock& m_clock;
    QTimer* m_frames;
};

// The unlock dialog's contents, refreshed whenever the model changes.
class UnlockView : public QWidget
{
public:
    UnlockView(UnlockModel& model, const DialogClock& clock, QWidget* parent);
    ~UnlockView() override;

    // Clears every typed field and lets go of the model, which may go before this view does.
    void detach();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void reportMounted();
    void withModel(void (UnlockModel::*action)());

    UnlockModel& m_model;
    JuiceView* m_juice;
    QLabel* m_requester;
    QLabel* m_detail;
    QStackedWidget* m_stages;
    QLabel* m_hint;
    QPushButton* m_retry;
    QLabel* m_typingLine;
    QVBoxLayout* m_fields;
    std::vector<QLineEdit*> m_edits;
    QPushButton* m_open;
    const void* m_reportedContext = nullptr;
    bool m_detached = false;
};

// The app's DialogViews: one DialogPanel per presentation.
class PanelViews final : public DialogViews
{
public:
    explicit PanelViews(const DialogClock& clock)
        : m_clock(clock)
    {
    }
    std::unique_ptr<Panel> showUnlock(UnlockModel& model) override;
    std::unique_ptr<Panel> showPrompt(PromptModel& model) override;

private:
    const DialogClock& m_clock;
};

} // namespace vantorelle
