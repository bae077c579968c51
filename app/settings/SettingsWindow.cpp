#include "settings/SettingsWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "defaults/Defaults.h"
#include "design/Mascot.h"
#include "dialogs/SecretField.h"
#include "i18n/L.h"
#include "platform/AppText.h"
#include "platform/Log.h"
#include "settings/SettingsStyle.h"
#include "shell/AppModel.h"
#include "window/DurationPolicy.h"
#include "window/DurationText.h"

namespace vantorelle {
namespace {

constexpr const char* kGeometryKey = "settingsWindowGeometry";

QString qs(const std::string& value)
{
    return QString::fromStdString(value);
}

QLabel* wrappedLabel(QWidget* parent, const QString& content = {})
{
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    return label;
}

QFrame* card(QWidget* parent, QVBoxLayout*& layout)
{
    auto* frame = new QFrame(parent);
    settingsstyle::makeCard(frame);
    layout = new QVBoxLayout(frame);
    layout->setContentsMargins(14, 12, 14, 12);
    layout->setSpacing(10);
    return frame;
}

QLabel* sectionTitle(const QString& title, QWidget* parent)
{
    auto* label = new QLabel(title, parent);
    settingsstyle::makeSectionTitle(label);
    return label;
}

// The field's text as a secret, and the field wiped.
SecretString takeSecret(QLineEdit* edit)
{
    SecretString secret = secretOf(edit);
    forget(edit);
    return secret;
}

// Every passphrase field under `widget`, wiped: a form that goes, or a window that only hides,
// keeps nothing typed and not saved.
void forgetTyped(QWidget* widget)
{
    for (auto* edit : widget->findChildren<QLineEdit*>()) {
        if (edit->echoMode() != QLineEdit::Normal) {
            forget(edit);
        }
    }
}

QLineEdit* secretField(const QString& placeholder, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setEchoMode(QLineEdit::Password);
    edit->setPlaceholderText(placeholder);
    edit->setAccessibleName(placeholder);
    return edit;
}

// What makes the key list different enough to be laid out again; typing in an open form survives
// every other change.
std::string rowsSignature(const SetupController::State& state, const std::optional<std::filesystem::path>& open,
                          const std::optional<SetupController::KeyRow>& formRow)
{
    std::string signature = open ? open->string() : "-";
    signature += formRow ? formRow->key.path.string() : "-";
    signature += state.busy ? "b" : "";
    signature += state.scanning ? "s" : "";
    for (const auto& row : state.rows) {
        signature
            += "|" + row.key.path.string() + ":" + SetupController::rowStateKey(row) + (row.appleStored ? "a" : "");
    }
    return signature;
}

} // namespace

SettingsWindow::SettingsWindow(SetupController& controller, const AppModel& model, const Clock& clock,
                               Defaults& defaults, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_controller(controller)
    , m_model(model)
    , m_clock(clock)
    , m_defaults(defaults)
    , m_tick(new QTimer(this))
{
    setWindowTitle(text("settings.title"));
    setMinimumSize(minimumContentSize);
    setMaximumSize(maximumContentSize);
    resize(contentSize);
    build();
    connect(&m_controller, &SetupController::changed, this, &SettingsWindow::render);
    connect(&m_model, &AppModel::statusChanged, this, &SettingsWindow::renderHeader);
    connect(&m_model, &AppModel::windowChanged, this, &SettingsWindow::renderHeader);
    // The countdown moves every second whether or not the model does.
    m_tick->setInterval(1000);
    connect(m_tick, &QTimer::timeout, this, &SettingsWindow::renderHeader);
    render();
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::build()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    auto* content = new QWidget(scroll);
    auto* page = new QVBoxLayout(content);
    page->setContentsMargins(20, 18, 20, 20);
    page->setSpacing(14);
    scroll->setWidget(content);

    // Header: the mascot, the state and the countdown.
    auto* header = new QHBoxLayout;
    header->setSpacing(12);
    m_mascot = new QLabel(content);
    m_mascot->setFixedSize(44, 44);
    header->addWidget(m_mascot);
    auto* titles = new QVBoxLayout;
    titles->setSpacing(2);
    auto* title = new QLabel(text("app.name"), content);
    settingsstyle::makeTitle(title);
    titles->addWidget(title);
    m_header = new QLabel(content);
    settingsstyle::makeSecondary(m_header);
    titles->addWidget(m_header);
    header->addLayout(titles, 1);
    page->addLayout(header);

    m_message = wrappedLabel(content);
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    page->addWidget(m_message);

    // The checklist.
    QVBoxLayout* setup = nullptr;
    page->addWidget(card(content, setup));
    auto* setupTitle = new QHBoxLayout;
    setupTitle->addWidget(sectionTitle(text("settings.section.setup"), content));
    setupTitle->addStretch(1);
    m_overall = new QLabel(content);
    settingsstyle::makeSectionTitle(m_overall);
    setupTitle->addWidget(m_overall);
    setup->addLayout(setupTitle);
    for (int i = 0; i < 4; ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(10);
        m_steps[i].mark = new QLabel(content);
        m_steps[i].mark->setFixedWidth(18);
        m_steps[i].mark->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
        row->addWidget(m_steps[i].mark, 0, Qt::AlignTop);
        auto* body = new QVBoxLayout;
        body->setSpacing(6);
        m_steps[i].text = wrappedLabel(content);
        body->addWidget(m_steps[i].text);
        row->addLayout(body, 1);
        switch (i) {
        case 0:
            m_keyFormSlot = body;
            break;
        case 1:
            m_connect = new QPushButton(text("settings.step.ssh.connect"), content);
            connect(m_connect, &QPushButton::clicked, this, [this] { m_controller.reviewApply(); });
            row->addWidget(m_connect, 0, Qt::AlignTop);
            break;
        case 2:
            m_install = new QPushButton(text("settings.step.cli.install"), content);
            connect(m_install, &QPushButton::clicked, this, [this] { m_controller.installCLI(); });
            row->addWidget(m_install, 0, Qt::AlignTop);
            break;
        case 3:
            m_login = new QCheckBox(content);
            m_login->setAccessibleName(text("settings.login.switch"));
            m_login->setToolTip(text("settings.login.switch"));
            connect(m_login, &QCheckBox::clicked, this, [this](bool on) { m_controller.setLoginItem(on); });
            row->addWidget(m_login, 0, Qt::AlignTop);
            break;
        }
        setup->addLayout(row);
    }

    // The keys.
    QVBoxLayout* keys = nullptr;
    page->addWidget(card(content, keys));
    keys->addWidget(sectionTitle(text("settings.section.keys"), content));
    m_rowsLayout = new QVBoxLayout;
    m_rowsLayout->setSpacing(10);
    keys->addLayout(m_rowsLayout);

    // The prototype's leftovers, only while there are some.
    m_migration = new QWidget(content);
    auto* migration = new QHBoxLayout(m_migration);
    migration->setContentsMargins(0, 0, 0, 0);
    migration->addWidget(wrappedLabel(m_migration, text("settings.migration.line")), 1);
    auto* review = new QPushButton(text("settings.migration.review"), m_migration);
    connect(review, &QPushButton::clicked, this, [this] { m_controller.reviewMigration(); });
    migration->addWidget(review, 0, Qt::AlignVCenter);
    page->addWidget(m_migration);

    // Unlocking: the duration, sleep and the language.
    QVBoxLayout* unlock = nullptr;
    page->addWidget(card(content, unlock));
    unlock->addWidget(sectionTitle(text("settings.section.unlock"), content));
    auto* duration = new QHBoxLayout;
    duration->addWidget(new QLabel(text("settings.duration.title"), content), 1);
    m_less = new QPushButton(text("settings.duration.less"), content);
    m_more = new QPushButton(text("settings.duration.more"), content);
    m_duration = new QLabel(content);
    m_duration->setAlignment(Qt::AlignCenter);
    m_duration->setMinimumWidth(72);
    connect(m_less, &QPushButton::clicked, this, [this] { m_controller.stepDuration(-1); });
    connect(m_more, &QPushButton::clicked, this, [this] { m_controller.stepDuration(+1); });
    duration->addWidget(m_less);
    duration->addWidget(m_duration);
    duration->addWidget(m_more);
    unlock->addLayout(duration);
    m_lockOnSleep = new QCheckBox(text("settings.lockonsleep"), content);
    connect(m_lockOnSleep, &QCheckBox::toggled, this, [this](bool on) { m_defaults.set("lockOnSleep", on); });
    unlock->addWidget(m_lockOnSleep);
    auto* language = new QHBoxLayout;
    language->addWidget(new QLabel(text("settings.language.title"), content), 1);
    m_language = new QComboBox(content);
    for (const auto choice : LanguageOverride::allChoices) {
        m_language->addItem(qs(LanguageOverride::label(choice)), static_cast<int>(choice));
    }
    connect(m_language, &QComboBox::activated, this, [this](int index) {
        m_controller.setLanguage(static_cast<LanguageOverride::Choice>(m_language->itemData(index).toInt()));
    });
    language->addWidget(m_language);
    unlock->addLayout(language);
    m_nextLaunch = wrappedLabel(content, text("settings.language.nextlaunch"));
    settingsstyle::makeSecondary(m_nextLaunch);
    unlock->addWidget(m_nextLaunch);

    // The updates row is another part's; it lands here.
    m_updatesSlot = new QVBoxLayout;
    m_updatesSlot->setContentsMargins(0, 0, 0, 0);
    page->addLayout(m_updatesSlot);

    auto* undo = new QHBoxLayout;
    auto* undoText = wrappedLabel(content, text("settings.undo.line"));
    settingsstyle::makeSecondary(undoText);
    undo->addWidget(undoText, 1);
    m_undo = new QPushButton(text("settings.undo.button"), content);
    connect(m_undo, &QPushButton::clicked, this, [this] { m_controller.reviewUndo(); });
    undo->addWidget(m_undo, 0, Qt::AlignVCenter);
    page->addLayout(undo);
    page->addStretch(1);
}

void SettingsWindow::setUpdatesRow(QWidget* row)
{
    row->setParent(m_updatesSlot->parentWidget());
    m_updatesSlot->addWidget(row);
}

void SettingsWindow::render()
{
    const auto& state = m_controller.state();
    const auto list = m_controller.checklist();
    const bool busy = state.busy;

    m_message->setVisible(state.message.has_value());
    m_message->setText(state.message ? qs(*state.message) : QString());

    m_overall->setText(qs(list.overall));
    settingsstyle::setTextColor(m_overall,
                                list.remaining == 0 ? settingsstyle::goodColor(palette()) : design::accentColor());
    const std::pair<bool, const std::string*> steps[]
        = {{list.keyDone, &list.keyLine},
           {list.sshDone, &list.sshLine},
           {state.cliState == SetupController::CLIState::installed, &list.cliLine},
           {list.loginDone, &list.loginLine}};
    for (int i = 0; i < 4; ++i) {
        const auto [done, line] = steps[i];
        m_steps[i].text->setText(qs(*line));
        m_steps[i].mark->setText(done ? QStringLiteral("✓") : QStringLiteral("○"));
        settingsstyle::setTextColor(m_steps[i].mark,
                                    done ? settingsstyle::goodColor(palette()) : design::accentColor());
    }
    m_connect->setVisible(list.connectShown);
    m_connect->setEnabled(list.connectEnabled && !busy);
    m_install->setVisible(list.installShown);
    m_install->setEnabled(!busy);
    m_login->setChecked(state.loginOn);

    renderKeys(state, list);
    // What the checklist offers, in the log whenever it changes: how a drive from outside knows the
    // window is ready for the next step.
    std::string offered = std::to_string(list.remaining) + " steps left";
    if (list.keyFormRow && !busy) {
        offered += ", key form for " + list.keyFormRow->key.displayName();
    }
    if (list.connectShown && list.connectEnabled && !busy) {
        offered += ", ssh step offers connect";
    }
    if (busy) {
        offered += ", busy";
    }
    if (offered != m_offered) {
        m_offered = offered;
        applog::info("settings", "checklist: " + offered);
    }

    m_migration->setVisible(!state.leftovers.empty());
    m_migration->setEnabled(!busy);
    m_undo->setEnabled(!busy);

    m_duration->setText(qs(DurationText::longText(state.duration, i18n::currentLanguage())));
    m_less->setEnabled(state.duration - DurationPolicy::step >= DurationPolicy::minimum);
    m_more->setEnabled(state.duration + DurationPolicy::step <= DurationPolicy::cap);
    {
        const QSignalBlocker quiet(m_lockOnSleep);
        m_lockOnSleep->setChecked(m_defaults.boolean("lockOnSleep").value_or(true));
    }
    m_language->setCurrentIndex(m_language->findData(static_cast<int>(state.language)));
    m_nextLaunch->setVisible(state.language != LanguageOverride::atLaunch());

    renderHeader();
    showReview();
}

std::string SettingsWindow::headerText(bool unlocked, const std::optional<UnlockWindow>& window, Date now)
{
    if (!unlocked) {
        return L("menu.header.locked");
    }
    if (!window) {
        return L("settings.header.nolimit");
    }
    const double left = std::chrono::duration<double>(window->expiry - now).count();
    if (!(left > 0)) {
        return L("menu.header.locked");
    }
    return L("settings.header.remaining", {DurationText::clock(left)});
}

void SettingsWindow::renderHeader()
{
    const bool unlocked = m_model.unlocked();
    m_header->setText(qs(headerText(unlocked, m_model.window(), m_clock.now())));
    const qreal scale = devicePixelRatioF();
    m_mascot->setPixmap(QPixmap::fromImage(
        design::mascotImage(unlocked ? design::Mood::awake : design::Mood::asleep, m_mascot->width(), scale)));
}

void SettingsWindow::renderKeys(const SetupController::State& state, const SetupController::Checklist& list)
{
    const QString signature = qs(rowsSignature(state, m_openForm, list.keyFormRow));
    if (m_rowsLayout->property("signature").toString() == signature) {
        return;
    }
    m_rowsLayout->setProperty("signature", signature);
    // Laid out again from scratch: rows come and go with scans. The old widgets go later, since the
    // change may come from within one of them (Return in a passphrase field).
    const auto retire = [](QWidget* widget) {
        if (widget) {
            forgetTyped(widget);
            widget->hide();
            widget->setParent(nullptr);
            widget->deleteLater();
        }
    };
    retire(std::exchange(m_keyForm, nullptr));
    for (auto& row : m_rows) {
        retire(row.widget);
    }
    m_rows.clear();
    const bool busy = state.busy;
    if (list.keyFormRow) {
        m_keyForm = passphraseForm(*list.keyFormRow, m_keyFormSlot->parentWidget());
        m_keyForm->setEnabled(!busy);
        m_keyFormSlot->addWidget(m_keyForm);
    }
    if (state.rows.empty()) {
        auto* none = wrappedLabel(m_rowsLayout->parentWidget(),
                                  text(state.scanning ? "settings.step.key.scanning" : "settings.keys.none"));
        settingsstyle::makeSecondary(none);
        m_rowsLayout->addWidget(none);
        m_rows.push_back({none, nullptr});
    }
    const auto isFormRow = [&](const SetupController::KeyRow& row) {
        return list.keyFormRow && list.keyFormRow->key.path == row.key.path;
    };
    for (const auto& row : state.rows) {
        auto* widget = new QWidget(m_rowsLayout->parentWidget());
        widget->setEnabled(!busy);
        auto* layout = new QVBoxLayout(widget);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(3);
        auto* line = new QHBoxLayout;
        auto* names = new QVBoxLayout;
        names->setSpacing(1);
        auto* name = new QLabel(qs(row.key.displayName()), widget);
        settingsstyle::makeSectionTitle(name);
        name->setToolTip(qs(row.key.fingerprint));
        names->addWidget(name);
        auto* stateLine = wrappedLabel(widget, text(SetupController::rowStateKey(row)));
        settingsstyle::makeSecondary(stateLine);
        names->addWidget(stateLine);
        line->addLayout(names, 1);
        const bool canManage
            = row.key.status == SSHKey::Status::usable || row.key.status == SSHKey::Status::noPassphrase;
        const bool formHere = m_openForm == row.key.path && !isFormRow(row);
        if (row.managed) {
            auto* unmanage = new QPushButton(text("settings.keys.unmanage"), widget);
            connect(unmanage, &QPushButton::clicked, this, [this, row] { confirmUnmanage(row); });
            line->addWidget(unmanage, 0, Qt::AlignVCenter);
        }
        if (canManage && !(row.managed && row.stored) && !isFormRow(row) && !formHere) {
            const bool noPassphrase = row.key.status == SSHKey::Status::noPassphrase;
            auto* open
                = new QPushButton(text(noPassphrase ? "settings.keys.addpassphrase" : "settings.keys.manage"), widget);
            connect(open, &QPushButton::clicked, this, [this, path = row.key.path] {
                m_openForm = path;
                render();
            });
            line->addWidget(open, 0, Qt::AlignVCenter);
        }
        layout->addLayout(line);
        if (formHere) {
            layout->addWidget(passphraseForm(row, widget));
        }
        if (row.appleStored) {
            auto* apple = new QHBoxLayout;
            auto* note = wrappedLabel(widget, text("settings.apple.line"));
            settingsstyle::makeSecondary(note);
            apple->addWidget(note, 1);
            auto* remove = new QPushButton(text("settings.apple.delete"), widget);
            connect(remove, &QPushButton::clicked, this, [this, row] { confirmAppleDelete(row); });
            apple->addWidget(remove, 0, Qt::AlignVCenter);
            layout->addLayout(apple);
        }
        m_rowsLayout->addWidget(widget);
        m_rows.push_back({widget, stateLine});
    }
}

QWidget* SettingsWindow::passphraseForm(const SetupController::KeyRow& row, QWidget* parent)
{
    auto* form = new QWidget(parent);
    auto* column = new QVBoxLayout(form);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    // The key it is for, so nobody types a passphrase for the wrong one; the fingerprint on hover.
    auto* name = new QLabel(qs(row.key.displayName()), form);
    settingsstyle::makeSectionTitle(name);
    name->setToolTip(qs(row.key.fingerprint));
    column->addWidget(name);
    auto* layout = new QHBoxLayout;
    layout->setSpacing(6);
    column->addLayout(layout);
    const bool adding = row.key.status == SSHKey::Status::noPassphrase;
    auto* passphrase = secretField(text(adding ? "settings.keys.newpassphrase" : "settings.keys.passphrase"), form);
    passphrase->setObjectName(QStringLiteral("passphrase"));
    layout->addWidget(passphrase, 1);
    QLineEdit* repeat = nullptr;
    if (adding) {
        repeat = secretField(text("settings.keys.repeatpassphrase"), form);
        repeat->setObjectName(QStringLiteral("repeat"));
        layout->addWidget(repeat, 1);
    }
    auto* save = new QPushButton(text("settings.keys.save"), form);
    save->setDefault(true);
    layout->addWidget(save);
    const auto submit = [this, row, passphrase, repeat] {
        m_openForm.reset();
        if (repeat) {
            SecretString confirmation = takeSecret(repeat);
            m_controller.addPassphrase(row, takeSecret(passphrase), std::move(confirmation));
        } else {
            m_controller.savePassphrase(row, takeSecret(passphrase));
        }
    };
    connect(save, &QPushButton::clicked, this, submit);
    connect(passphrase, &QLineEdit::returnPressed, this, submit);
    if (repeat) {
        connect(repeat, &QLineEdit::returnPressed, this, submit);
    }
    QTimer::singleShot(0, passphrase, [passphrase] { passphrase->setFocus(); });
    return form;
}

void SettingsWindow::showReview()
{
    const auto& review = m_controller.state().review;
    if (m_sheet && m_sheetReview == review) {
        return;
    }
    if (m_sheet) {
        m_sheet->disconnect(this);
        m_sheet->close();
    }
    m_sheetReview = review;
    if (!review) {
        return;
    }
    m_sheet = new ReviewSheet(review->kind, m_controller.cards(*review),
                              review->kind == SetupController::Review::Kind::migration
                                  ? m_controller.migrationLines(review->leftovers)
                                  : std::vector<std::string>{},
                              this);
    m_sheet->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_sheet, &QDialog::accepted, this, [this, confirmed = *review] { m_controller.confirmReview(confirmed); });
    connect(m_sheet, &QDialog::rejected, this, [this] { m_controller.cancelReview(); });
    // Over the window, as a sheet, wherever the window manager would have put a new window.
    m_sheet->move(geometry().center() - QPoint(m_sheet->width() / 2, m_sheet->height() / 2));
    m_sheet->open();
}

QMessageBox* SettingsWindow::alert(const QString& title, const QString& body)
{
    auto* box = new QMessageBox(this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(text("app.name"));
    box->setText(title);
    box->setInformativeText(body);
    box->setIconPixmap(QPixmap::fromImage(design::mascotImage(design::Mood::asleep, 64, devicePixelRatioF())));
    box->setWindowModality(Qt::WindowModal);
    return box;
}

void SettingsWindow::confirmUnmanage(const SetupController::KeyRow& row)
{
    const bool last = m_controller.confirmUnmanage(row) == SetupController::UnmanageChoice::offerUndo;
    const std::string name = row.key.displayName();
    QMessageBox* box = last
        ? alert(text("settings.unmanage.last.title"), text("settings.unmanage.last.body", {name}))
        : alert(text("settings.unmanage.confirm.title", {name}), text("settings.unmanage.confirm.body"));
    QPushButton* act
        = box->addButton(text(last ? "settings.undo.button" : "settings.keys.unmanage"), QMessageBox::AcceptRole);
    QPushButton* cancel = box->addButton(text("common.cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::finished, this, [this, box, act, row, last] {
        if (box->clickedButton() != act) {
            return;
        }
        if (last) {
            m_controller.reviewUndo();
        } else {
            m_controller.unmanage(row);
        }
    });
    box->open();
}

void SettingsWindow::confirmAppleDelete(const SetupController::KeyRow& row)
{
    QMessageBox* box = alert(text("settings.apple.confirm.title"), text("settings.apple.confirm.body"));
    QPushButton* act = box->addButton(text("settings.apple.delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(text("common.cancel"), QMessageBox::RejectRole);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::finished, this, [this, box, act, row] {
        if (box->clickedButton() == act) {
            m_controller.deleteAppleEntry(row);
        }
    });
    box->open();
}

void SettingsWindow::present()
{
    m_controller.clearMessage();
    m_controller.refresh();
    if (!m_placed) {
        m_placed = true;
        restoreGeometry();
    }
    render();
    m_tick->start();
    show();
    if (isMinimized()) {
        showNormal();
    }
    raise();
    activateWindow();
}

void SettingsWindow::restoreGeometry()
{
    if (const auto saved = m_defaults.string(kGeometryKey)) {
        if (QWidget::restoreGeometry(QByteArray::fromBase64(QByteArray::fromStdString(*saved)))) {
            return;
        }
    }
    resize(contentSize);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - QPoint(width() / 2, height() / 2));
    }
}

void SettingsWindow::saveGeometry()
{
    m_defaults.set(kGeometryKey, QWidget::saveGeometry().toBase64().toStdString());
}

void SettingsWindow::closeEvent(QCloseEvent* event)
{
    saveGeometry();
    m_tick->stop();
    forgetTyped(this);
    if (m_sheet) {
        m_sheet->reject();
    }
    hide();
    event->ignore();
}

void SettingsWindow::changeEvent(QEvent* event)
{
    // A theme switch while open: the cards and colours follow the new palette.
    if (event->type() == QEvent::PaletteChange) {
        render();
    }
    QWidget::changeEvent(event);
}

QString SettingsWindow::headerText() const
{
    return m_header->text();
}

QString SettingsWindow::overallText() const
{
    return m_overall->text();
}

QStringList SettingsWindow::stepTexts() const
{
    QStringList texts;
    for (const auto& step : m_steps) {
        texts.push_back(step.text->text());
    }
    return texts;
}

QStringList SettingsWindow::rowStateTexts() const
{
    QStringList texts;
    for (const auto& row : m_rows) {
        if (row.state) {
            texts.push_back(row.state->text());
        }
    }
    return texts;
}

} // namespace vantorelle
