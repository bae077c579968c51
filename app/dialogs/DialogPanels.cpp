#include "dialogs/DialogPanels.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "design/Mascot.h"
#include "dialogs/SecretField.h"
#include "i18n/L.h"
#include "platform/AppText.h"
#include "platform/Log.h"
#include "window/DurationText.h"

namespace vantorelle {
namespace {

std::string panelId(const QWidget* panel)
{
    return UnlockModel::identity(panel);
}

// A hidden field shows small bullets rather than the style's large discs, which crowd a long passphrase.
void hideTyping(QLineEdit* edit)
{
    edit->setEchoMode(QLineEdit::Password);
    edit->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 8226; }"));
}

QPushButton* linkButton(const QString& label, QWidget* parent)
{
    auto* button = new QPushButton(label, parent);
    button->setFlat(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet("QPushButton { color: #2f6fd0; border: none; padding: 2px; }"
                          "QPushButton:hover { text-decoration: underline; }");
    return button;
}

QLabel* wrapped(QWidget* parent, bool bold = false)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignHCenter);
    if (bold) {
        QFont font = label->font();
        font.setBold(true);
        font.setPointSizeF(font.pointSizeF() * 1.15);
        label->setFont(font);
    }
    return label;
}

QPalette lightPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0xfb, 0xf8, 0xf3));
    palette.setColor(QPalette::WindowText, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::Button, QColor(0xf0, 0xec, 0xe4));
    palette.setColor(QPalette::ButtonText, QColor(0x2b, 0x2b, 0x2b));
    palette.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x95, 0x8c));
    palette.setColor(QPalette::Highlight, design::accentColor());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    return palette;
}

// Where to put the finger: the ridges of a fingertip in the accent colour, above the hint.
class FingerprintMark final : public QWidget
{
public:
    explicit FingerprintMark(QWidget* parent)
        : QWidget(parent)
    {
        setFixedSize(40, 44);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(design::accentColor(), 2.2, Qt::SolidLine, Qt::RoundCap));
        painter.setBrush(Qt::NoBrush);
        const QPointF centre(width() / 2.0, height() / 2.0 + 3);
        // Nested arches, open towards the palm; each breaks off at its own angle, as ridges do.
        const struct
        {
            double rx, ry, start, span; // degrees, counter-clockwise from three o'clock
        } ridges[]
            = {{2.5, 4, 0, 180}, {6.5, 9, -40, 220}, {10.5, 14, -10, 200}, {14.5, 19, -25, 210}, {18.5, 23, 15, 150}};
        for (const auto& ridge : ridges) {
            const QRectF box(centre - QPointF(ridge.rx, ridge.ry), QSizeF(2 * ridge.rx, 2 * ridge.ry));
            painter.drawArc(box, static_cast<int>(ridge.start * 16), static_cast<int>(ridge.span * 16));
        }
    }
};

} // namespace

DialogPanel::DialogPanel()
{
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setWindowTitle(text("app.name"));
    setAttribute(Qt::WA_TranslucentBackground);
    setPalette(lightPalette());
    setAutoFillBackground(false);
    setMinimumSize(size);
}

void DialogPanel::present()
{
    adjustSize();
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen) {
        const QRect area = screen->availableGeometry();
        move(qRound(area.center().x() + 0.5 - width() * 0.5), qRound(area.center().y() + 0.5 - height() * 0.5));
    }
    applog::notice("touchid",
                   "panel " + panelId(this) + " shown, app active before activation "
                       + boolText(QGuiApplication::applicationState() == Qt::ApplicationActive));
    show();
    raise();
    activateWindow();
}

void DialogPanel::fadeOut(double seconds)
{
    auto* fade = new QPropertyAnimation(this, "windowOpacity", this);
    fade->setDuration(static_cast<int>(seconds * 1000));
    fade->setEndValue(0.0);
    fade->setEasingCurve(QEasingCurve::OutCubic);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

bool DialogPanel::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate) {
        applog::notice("touchid",
                       "panel " + panelId(this) + " became key, app active "
                           + boolText(QGuiApplication::applicationState() == Qt::ApplicationActive));
        onKeyChange(true);
    } else if (event->type() == QEvent::WindowDeactivate) {
        applog::notice("touchid", "panel " + panelId(this) + " resigned key");
        onKeyChange(false);
    }
    return QWidget::event(event);
}

void DialogPanel::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        onCancel();
        return;
    }
    QWidget::keyPressEvent(event);
}

void DialogPanel::mousePressEvent(QMouseEvent* event)
{
    m_dragging = event->button() == Qt::LeftButton;
    m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void DialogPanel::mouseMoveEvent(QMouseEvent* event)
{
    if (m_dragging && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - m_dragOffset);
    }
}

void DialogPanel::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.setPen(QPen(QColor(0, 0, 0, 40), 1));
    painter.setBrush(palette().color(QPalette::Window));
    painter.drawRoundedRect(card, 16, 16);
}

JuiceView::JuiceView(const UnlockModel& model, const DialogClock& clock, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_clock(clock)
    , m_frames(new QTimer(this))
{
    setFixedSize(88, 88);
    m_frames->setInterval(16);
    connect(m_frames, &QTimer::timeout, this, [this] {
        update();
        if (level() >= 1) {
            m_frames->stop();
        }
    });
}

double JuiceView::level() const
{
    if (m_model.juice() <= 0 || !m_model.juiceStart()) {
        return 0;
    }
    return UnlockModel::juiceCurve((m_clock.now() - *m_model.juiceStart()) / UnlockModel::juiceSeconds);
}

void JuiceView::follow()
{
    if (m_model.juice() > 0 && !m_frames->isActive() && level() < 1) {
        m_frames->start();
    }
    update();
}

void JuiceView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = QRectF(rect()).adjusted(2, 2, -2, -2);
    QPainterPath circle;
    circle.addEllipse(disc);
    painter.fillPath(circle, QColor(0xee, 0xe8, 0xdc));
    if (const double fill = level(); fill > 0) {
        painter.save();
        painter.setClipPath(circle);
        QColor juice = design::accentColor();
        juice.setAlpha(90);
        painter.fillRect(QRectF(disc.left(), disc.bottom() - disc.height() * fill, disc.width(), disc.height() * fill),
                         juice);
        painter.restore();
    }
    // It stirs as the fill rises and is fully awake once the model says so.
    const auto mood = m_model.awake() ? design::Mood::awake : level() > 0 ? design::Mood::waking : design::Mood::asleep;
    design::paintMascot(painter, disc.adjusted(10, 10, -10, -10), mood);
}

UnlockView::UnlockView(UnlockModel& model, const DialogClock& clock, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
    , m_juice(new JuiceView(model, clock, this))
    , m_requester(wrapped(this))
    , m_detail(wrapped(this))
    , m_stages(new QStackedWidget(this))
    , m_hint(wrapped(this))
    , m_retry(new QPushButton(text("dialog.touchid.retry"), this))
    , m_typingLine(wrapped(this))
    , m_fields(new QVBoxLayout)
    , m_open(new QPushButton(text("dialog.open"), this))
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 16, 18, 10);
    column->setSpacing(6);
    column->addWidget(m_juice, 0, Qt::AlignHCenter);
    auto* title = wrapped(this, true);
    title->setText(text("dialog.title"));
    column->addWidget(title);
    column->addWidget(m_requester);
    m_detail->setStyleSheet("color: #6b665e;");
    column->addWidget(m_detail);

    auto* fingerprint = new QWidget(m_stages);
    auto* fingerprintColumn = new QVBoxLayout(fingerprint);
    fingerprintColumn->setContentsMargins(0, 4, 0, 0);
    fingerprintColumn->addStretch();
    fingerprintColumn->addWidget(new FingerprintMark(fingerprint), 0, Qt::AlignHCenter);
    m_hint->setText(text("dialog.touchid.hint"));
    fingerprintColumn->addWidget(m_hint);
    fingerprintColumn->addWidget(m_retry, 0, Qt::AlignHCenter);
    fingerprintColumn->addStretch();
    connect(m_retry, &QPushButton::clicked, this, [this] { withModel(&UnlockModel::rearm); });

    auto* typing = new QWidget(m_stages);
    auto* typingColumn = new QVBoxLayout(typing);
    typingColumn->setContentsMargins(0, 4, 0, 0);
    typingColumn->addWidget(m_typingLine);
    typingColumn->addLayout(m_fields);
    for (const auto& key : m_model.keys()) {
        auto* edit = new QLineEdit(typing);
        hideTyping(edit);
        edit->setPlaceholderText(QString::fromStdString(key.displayName()));
        edit->setAccessibleName(QString::fromStdString(key.displayName()));
        connect(edit, &QLineEdit::textChanged, this, [this, edit, path = key.path.string()] {
            if (!m_detached) {
                m_model.updateTyped(path, secretOf(edit));
            }
        });
        connect(edit, &QLineEdit::returnPressed, this, [this] { withModel(&UnlockModel::submitTyped); });
        m_fields->addWidget(edit);
        m_edits.push_back(edit);
    }
    m_open->setDefault(true);
    typingColumn->addWidget(m_open, 0, Qt::AlignRight);
    connect(m_open, &QPushButton::clicked, this, [this] { withModel(&UnlockModel::submitTyped); });

    m_stages->addWidget(fingerprint);
    m_stages->addWidget(typing);
    column->addWidget(m_stages, 1);
    auto* cancel = linkButton(text("common.cancel"), this);
    connect(cancel, &QPushButton::clicked, this, [this] { withModel(&UnlockModel::cancel); });
    column->addWidget(cancel, 0, Qt::AlignHCenter);

    m_requester->setText(text("dialog.request", {m_model.requester().displayName}));
    m_detail->setText(text("dialog.keysDuration",
                           {m_model.keyNames(), DurationText::longText(m_model.duration(), i18n::currentLanguage())}));
    m_model.onChange = [this] { refresh(); };
    refresh();
}

UnlockView::~UnlockView()
{
    detach();
}

void UnlockView::detach()
{
    if (m_detached) {
        return;
    }
    m_detached = true;
    m_model.onChange = [] {};
    for (auto* edit : m_edits) {
        const QSignalBlocker quiet(edit);
        forget(edit);
    }
}

void UnlockView::withModel(void (UnlockModel::*action)())
{
    if (!m_detached) {
        (m_model.*action)();
    }
}

void UnlockView::refresh()
{
    const bool typing = m_model.typingStage();
    m_stages->setCurrentIndex(typing ? 1 : 0);
    if (const auto* stage = std::get_if<UnlockModel::Typing>(&m_model.stage())) {
        m_typingLine->setText(QString::fromStdString(stage->line));
        if (!m_edits.empty() && !m_edits.front()->hasFocus() && isVisible()) {
            m_edits.front()->setFocus();
        }
    }
    m_retry->setVisible(m_model.needsRetry());
    m_hint->setVisible(!m_model.needsRetry());
    m_open->setEnabled(m_model.canSubmit());
    m_juice->follow();
    reportMounted();
}

void UnlockView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh();
}

// The fingerprint widget counts as mounted for a context once it is visible in the shown panel;
// a new context gets a new widget, which mounts again.
void UnlockView::reportMounted()
{
    if (m_detached || m_model.typingStage() || !isVisible() || m_model.context().get() == m_reportedContext) {
        return;
    }
    m_reportedContext = m_model.context().get();
    QTimer::singleShot(0, this, [this, context = m_model.context()] {
        if (!m_detached) {
            m_model.mounted(context);
        }
    });
}

namespace {

class ShownPanel final : public DialogViews::Panel
{
public:
    explicit ShownPanel(
        DialogPanel* panel, std::function<void()> forget = [] {})
        : m_panel(panel)
        , m_forget(std::move(forget))
    {
    }
    ~ShownPanel() override
    {
        if (m_panel) {
            m_forget();
            m_panel->onCancel = [] {};
            m_panel->onKeyChange = [](bool) {};
            m_panel->hide();
            m_panel->deleteLater();
        }
    }
    void fadeOut(double seconds) override
    {
        if (m_panel) {
            m_panel->fadeOut(seconds);
        }
    }

private:
    QPointer<DialogPanel> m_panel;
    std::function<void()> m_forget;
};

} // namespace

std::unique_ptr<DialogViews::Panel> PanelViews::showUnlock(UnlockModel& model)
{
    auto* panel = new DialogPanel;
    auto* view = new UnlockView(model, m_clock, panel);
    (new QVBoxLayout(panel))->addWidget(view);
    panel->layout()->setContentsMargins(0, 0, 0, 0);
    panel->onCancel = [&model] { model.cancel(); };
    panel->onKeyChange = [&model](bool isKey) { model.panelKeyChanged(isKey); };
    panel->present();
    return std::make_unique<ShownPanel>(panel, [view] { view->detach(); });
}

std::unique_ptr<DialogViews::Panel> PanelViews::showPrompt(PromptModel& model)
{
    auto* panel = new DialogPanel;
    panel->setMinimumSize(DialogPanel::size.width(), 0);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(18, 18, 18, 10);
    auto* question = wrapped(panel);
    question->setAlignment(Qt::AlignLeft);
    question->setText(QString::fromStdString(model.text));
    column->addWidget(question);
    auto* field = new QLineEdit(panel);
    if (model.secret) {
        hideTyping(field);
    }
    column->addWidget(field);
    auto* submit = new QPushButton(text("prompt.submit"), panel);
    submit->setDefault(true);
    column->addWidget(submit, 0, Qt::AlignRight);
    auto* cancel = linkButton(text("common.cancel"), panel);
    column->addWidget(cancel, 0, Qt::AlignHCenter);
    QObject::connect(field, &QLineEdit::textChanged, panel, [&model, field] { model.answer = secretOf(field); });
    QObject::connect(field, &QLineEdit::returnPressed, panel, [&model] { model.submit(); });
    QObject::connect(submit, &QPushButton::clicked, panel, [&model] { model.submit(); });
    QObject::connect(cancel, &QPushButton::clicked, panel, [&model] { model.cancel(); });
    panel->onCancel = [&model] { model.cancel(); };
    panel->present();
    field->setFocus();
    return std::make_unique<ShownPanel>(panel, [field] {
        const QSignalBlocker quiet(field);
        forget(field);
    });
}

} // namespace vantorelle
