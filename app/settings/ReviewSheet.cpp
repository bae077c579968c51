#include "settings/ReviewSheet.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTextEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "i18n/L.h"
#include "platform/AppText.h"
#include "settings/SettingsStyle.h"
#include "setup/LineDiff.h"

namespace vantorelle {
namespace {

QLabel* wrappedLabel(const QString& content, QWidget* parent)
{
    auto* label = new QLabel(content, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

// The diff as HTML: one pre-formatted line per diff line, added and removed lines on a tint.
QString diffHtml(const std::vector<LineDiff::Line>& lines, const QPalette& palette)
{
    const bool dark = settingsstyle::isDark(palette);
    const QString added = dark ? "#1f4d2c" : "#dcf5e1";
    const QString removed = dark ? "#5a2226" : "#fbe0e0";
    QString html = "<pre style=\"margin:0\">";
    for (const auto& line : lines) {
        const QString body = QString::fromStdString(line.text).toHtmlEscaped();
        switch (line.kind) {
        case LineDiff::Kind::context:
            html += "  " + body + "\n";
            break;
        case LineDiff::Kind::added:
            html += "<span style=\"background:" + added + "\">+ " + body + "</span>\n";
            break;
        case LineDiff::Kind::removed:
            html += "<span style=\"background:" + removed + "\">- " + body + "</span>\n";
            break;
        case LineDiff::Kind::skipped:
            html += "<span style=\"color:" + palette.color(QPalette::PlaceholderText).name() + "\">  ⋯</span>\n";
            break;
        }
    }
    return html + "</pre>";
}

} // namespace

ReviewCard::ReviewCard(const SetupController::Card& card, QWidget* parent)
    : QFrame(parent)
    , m_path(new QLabel(QString::fromStdString(card.displayPath), this))
    , m_summary(wrappedLabel(QString::fromStdString(card.summary), this))
{
    settingsstyle::makeCard(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 10, 12, 10);
    layout->setSpacing(4);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    QFont pathFont = mono;
    pathFont.setBold(true);
    m_path->setFont(pathFont);
    m_path->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_path);
    layout->addWidget(m_summary);
    if (!card.showsDiff) {
        return;
    }
    m_toggle = new QToolButton(this);
    m_toggle->setText(text("settings.review.detail"));
    m_toggle->setCheckable(true);
    m_toggle->setAutoRaise(true);
    m_toggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_toggle->setArrowType(Qt::RightArrow);
    m_diff = new QTextEdit(this);
    m_diff->setReadOnly(true);
    m_diff->setFont(mono);
    m_diff->setLineWrapMode(QTextEdit::NoWrap);
    m_diff->setHtml(diffHtml(card.diff, palette()));
    // Tall enough for the whole diff up to a point; a longer one scrolls inside the card.
    const int lines = static_cast<int>(card.diff.size());
    m_diff->setFixedHeight(QFontMetrics(mono).lineSpacing() * std::min(lines, 14) + 2 * m_diff->frameWidth() + 8
                           + m_diff->horizontalScrollBar()->sizeHint().height());
    m_diff->hide();
    connect(m_toggle, &QToolButton::toggled, this, [this](bool open) {
        m_toggle->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        m_diff->setVisible(open);
    });
    layout->addWidget(m_toggle, 0, Qt::AlignLeft);
    layout->addWidget(m_diff);
}

QString ReviewCard::pathText() const
{
    return m_path->text();
}

QString ReviewCard::summaryText() const
{
    return m_summary->text();
}

ReviewSheet::ReviewSheet(Kind kind, const std::vector<SetupController::Card>& cards,
                         const std::vector<std::string>& migrationLines, QWidget* parent)
    : QDialog(parent)
    , m_kind(kind)
{
    static constexpr const char* titles[]
        = {"settings.review.apply.title", "settings.review.undo.title", "settings.review.migration.title"};
    static constexpr const char* bodies[]
        = {"settings.review.apply.body", "settings.review.undo.body", "settings.review.migration.body"};
    static constexpr const char* confirms[]
        = {"settings.review.apply.confirm", "settings.undo.button", "settings.migration.remove"};
    const auto index = static_cast<std::size_t>(kind);
    setWindowTitle(text(titles[index]));
    setWindowModality(Qt::WindowModal);
    setMinimumWidth(440);
    resize(parent ? parent->width() - 20 : 460, parent ? parent->height() - 40 : 520);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(20, 18, 20, 16);
    outer->setSpacing(10);
    m_title = new QLabel(text(titles[index]), this);
    settingsstyle::makeTitle(m_title);
    outer->addWidget(m_title);
    outer->addWidget(wrappedLabel(text(bodies[index]), this));

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    auto* list = new QVBoxLayout(content);
    list->setContentsMargins(0, 0, 4, 0);
    list->setSpacing(8);
    for (const auto& leftover : migrationLines) {
        auto* line = wrappedLabel("• " + QString::fromStdString(leftover), content);
        m_leftovers.push_back(line);
        list->addWidget(line);
    }
    if (cards.empty()) {
        list->addWidget(wrappedLabel(text("settings.review.nofiles"), content));
    }
    for (const auto& card : cards) {
        list->addWidget(new ReviewCard(card, content));
    }
    // What happens besides the files.
    auto addNote = [&](const char* key) {
        auto* note = wrappedLabel("• " + text(key), content);
        settingsstyle::makeSecondary(note);
        list->addWidget(note);
    };
    if (kind == Kind::apply) {
        addNote("settings.review.env");
    } else if (kind == Kind::undo) {
        for (const char* key : {"settings.undo.step.env", "settings.undo.step.keys", "settings.undo.step.cli",
                                "settings.undo.step.login"}) {
            addNote(key);
        }
    }
    list->addStretch(1);
    scroll->setWidget(content);
    outer->addWidget(scroll, 1);

    auto* buttons = new QDialogButtonBox(this);
    m_confirm = buttons->addButton(text(confirms[index]), QDialogButtonBox::AcceptRole);
    buttons->addButton(text("common.cancel"), QDialogButtonBox::RejectRole);
    m_confirm->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    outer->addWidget(buttons);
}

QString ReviewSheet::titleText() const
{
    return m_title->text();
}

QList<ReviewCard*> ReviewSheet::cards() const
{
    return findChildren<ReviewCard*>();
}

QStringList ReviewSheet::leftoverLines() const
{
    QStringList lines;
    for (const auto* label : m_leftovers) {
        lines.push_back(label->text());
    }
    return lines;
}

} // namespace vantorelle
