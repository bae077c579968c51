// WhatsNewPresenter: the card in a dialog panel; an unlock dialog always comes first.
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include "dialogs/DialogPanels.h"
#include "i18n/L.h"
#include "platform/AppText.h"
#include "shell/AppModel.h"
#include "updates/ReleaseNotesText.h"
#include "updates/UpdateController.h"

namespace vantorelle {
namespace {

constexpr int kNotesMaxHeight = 220;

} // namespace

WhatsNewPresenter::WhatsNewPresenter(AppModel& model, QObject* parent)
    : QObject(parent)
    , m_model(model)
{
    connect(&m_model, &AppModel::dialogOpenChanged, this,
            [this] { QMetaObject::invokeMethod(this, &WhatsNewPresenter::dialogOpenChanged, Qt::QueuedConnection); });
}

WhatsNewPresenter::~WhatsNewPresenter()
{
    delete m_panel.data();
}

void WhatsNewPresenter::present(WhatsNew record)
{
    m_pending = std::move(record);
    if (!m_model.dialogOpen() && !m_panel) {
        show();
    }
}

void WhatsNewPresenter::dialogOpenChanged()
{
    if (m_panel) {
        if (m_model.dialogOpen()) {
            m_panel->hide();
        } else {
            static_cast<DialogPanel*>(m_panel.data())->present();
        }
    } else if (!m_model.dialogOpen() && m_pending) {
        show();
    }
}

void WhatsNewPresenter::dismiss()
{
    m_pending.reset();
    if (m_panel) {
        m_panel->hide();
        m_panel->close();
        m_panel->deleteLater();
        m_panel = nullptr;
    }
}

void WhatsNewPresenter::show()
{
    const WhatsNew& record = *m_pending;
    auto* panel = new DialogPanel();
    panel->setObjectName(QStringLiteral("whatsNewPanel"));
    panel->onCancel = [this] { dismiss(); };
    auto* layout = new QVBoxLayout(panel);
    layout->setContentsMargins(20, 20, 20, 16);
    layout->setSpacing(8);
    auto* title = new QLabel(text("whatsnew.title"), panel);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    titleFont.setPointSize(titleFont.pointSize() + 3);
    title->setFont(titleFont);
    layout->addWidget(title);
    auto* version = new QLabel(text("whatsnew.version").arg(QString::fromStdString(record.version)), panel);
    version->setTextFormat(Qt::PlainText); // the feed's text, never markup
    layout->addWidget(version);

    const auto lines = ReleaseNotesText::lines(record.notes, record.format);
    if (lines.empty()) {
        auto* empty = new QLabel(text("whatsnew.empty"), panel);
        empty->setObjectName(QStringLiteral("whatsNewEmpty"));
        empty->setWordWrap(true);
        layout->addWidget(empty);
    } else {
        auto* scroll = new QScrollArea(panel);
        scroll->setWidgetResizable(true);
        scroll->setMaximumHeight(kNotesMaxHeight);
        scroll->setFrameShape(QFrame::NoFrame);
        auto* notes = new QWidget(scroll);
        notes->setObjectName(QStringLiteral("whatsNewNotes"));
        auto* notesLayout = new QVBoxLayout(notes);
        for (const auto& line : lines) {
            const QString words = QString::fromStdString(line.text);
            auto* label = new QLabel(line.bullet ? QStringLiteral("• ") + words : words, notes);
            label->setWordWrap(true);
            label->setTextFormat(Qt::PlainText);
            notesLayout->addWidget(label);
        }
        notesLayout->addStretch();
        scroll->setWidget(notes);
        layout->addWidget(scroll);
    }
    layout->addStretch();
    auto* ok = new QPushButton(text("whatsnew.ok"), panel);
    ok->setObjectName(QStringLiteral("whatsNewOK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &WhatsNewPresenter::dismiss);
    layout->addWidget(ok);
    m_panel = panel;
    panel->present();
}

} // namespace vantorelle
