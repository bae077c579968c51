// ReviewSheet: the file changes of a setup, undo or clean-up, shown before anything is written.
#pragma once

#include <QDialog>
#include <QFrame>
#include <vector>

#include "settings/SetupController.h"

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
    ReviewCard(const SetupController::Card& card, QWidget* parent);

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

// Window-modal over the settings, titled after its kind. Accepted by the confirm button, rejected
// by Cancel or Escape.
class ReviewSheet : public QDialog
{
    Q_OBJECT
public:
    using Kind = SetupController::Review::Kind;

    ReviewSheet(Kind kind, const std::vector<SetupController::Card>& cards,
                const std::vector<std::string>& migrationLines, QWidget* parent);

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
