// ReviewSheet: the file changes of a setup, undo or clean-up, shown before anything is written.
#pragma once

#include <QDialog>
#include <filesystem>
#include <vector>

#include "setup/PrototypeMigration.h"
#include "setup/SetupPlan.h"

class QLabel;
class QPushButton;
class QTextEdit;
class QToolButton;

namespace vantorelle {

// One planned change: where, a one-line summary and, unless the file goes, the diff on demand.
class ReviewCard : public QFrame
{
    Q_OBJECT
public:
    ReviewCard(const FileChange& change, const std::filesystem::path& home, QWidget* parent);

    QString pathText() const;
    QString summaryText() const;
    // Nothing for a change that removes the file.
    QToolButton* detailToggle() const { return m_toggle; }
    QTextEdit* diff() const { return m_diff; }

private:
    QLabel* m_path;
    QLabel* m_summary;
    QToolButton* m_toggle = nullptr;
    QTextEdit* m_diff = nullptr;
};

// Window-modal over the settings. Accepted by the confirm button, rejected by Cancel or Escape.
class ReviewSheet : public QDialog
{
    Q_OBJECT
public:
    enum class Kind { apply, undo, migration };

    ReviewSheet(Kind kind, const SetupPlan& plan, const std::vector<Leftover>& leftovers,
                const std::filesystem::path& home, QWidget* parent);

    Kind kind() const { return m_kind; }
    QString titleText() const;
    QList<ReviewCard*> cards() const;
    QStringList leftoverLines() const;
    QPushButton* confirmButton() const { return m_confirm; }

private:
    Kind m_kind;
    QLabel* m_title;
    QPushButton* m_confirm;
    QList<QLabel*> m_leftovers;
};

} // namespace vantorelle
