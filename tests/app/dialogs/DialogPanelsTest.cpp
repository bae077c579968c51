#include "dialogs/DialogPanels.h"

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <gtest/gtest.h>

#include "app/TestApplication.h"
#include "design/Mascot.h"
#include "i18n/L.h"
#include "platform/Log.h"

namespace vantorelle {

namespace {

struct StillClock final : DialogClock
{
    double time = 100;
    double now() const override { return time; }
    void after(double, std::function<void()>) override { }
};

struct Reader final : BiometricContext
{
    void evaluate(const std::string&, Reply) override { }
    void invalidate() override { }
};

void settle()
{
    for (int i = 0; i < 3; ++i) {
        QApplication::processEvents();
    }
}

void save(const QWidget& panel, const QString& name)
{
    const QString directory = QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots");
    QDir().mkpath(directory);
    ASSERT_TRUE(const_cast<QWidget&>(panel).grab().save(directory + "/" + name + ".png"));
}

TEST(DialogPanels, BothStagesInBothLanguagesTypingAndEscape)
{
    testApplication();
    std::vector<std::string> log;
    applog::setSink([&](std::string_view, applog::Level, std::string_view line) { log.emplace_back(line); });
    StillClock clock;
    PanelViews views(clock);
    for (Language language : {Language::English, Language::French}) {
        i18n::setCurrentLanguage(language);
        const std::string suffix = language == Language::French ? "fr" : "en";
        for (bool typing : {false, true}) {
            UnlockModel model(
                typing ? UnlockModel::Stage{UnlockModel::Typing{L("dialog.typing.unavailable")}}
                       : UnlockModel::Stage{UnlockModel::Fingerprint{}},
                {"git", Requester::Kind::interactive},
                {SSHKey{.path = "/h/.ssh/id_ed25519"}, SSHKey{.path = "/h/.ssh/work"}}, 5400,
                DialogEnvironment{.clock = clock, .newContext = [] { return std::make_shared<Reader>(); }});
            std::optional<PresentResult> result;
            model.onFinish = [&](PresentResult r) { result = std::move(r); };
            auto panel = views.showUnlock(model);
            settle();
            auto* window = qobject_cast<DialogPanel*>(QApplication::topLevelWidgets().back());
            ASSERT_NE(window, nullptr);
            EXPECT_GE(window->width(), 290);
            EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
            save(*window,
                 QString::fromStdString("dialog-" + std::string(typing ? "typing-" : "fingerprint-") + suffix));
            EXPECT_EQ(std::ranges::count_if(log, [](auto& l) { return l.starts_with("LAAuthenticationView mounted"); }),
                      typing ? 0 : 1)
                << "the fingerprint widget mounts once it is shown";
            log.clear();
            if (typing) {
                auto edits = window->findChildren<QLineEdit*>();
                ASSERT_EQ(edits.size(), 2);
                edits[1]->setText("second");
                QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(edits[1], &enter);
                ASSERT_TRUE(result.has_value());
                const auto& typed = std::get<PresentResult::Typed>(result->value).passphrases;
                EXPECT_EQ(typed.size(), 1u);
                EXPECT_EQ(typed.at("/h/.ssh/work").view(), "second");
            } else {
                QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                QApplication::sendEvent(window, &escape);
                ASSERT_TRUE(result.has_value());
                EXPECT_EQ(result->value.index(), 2u) << "Escape cancels like the cancel link";
            }
            panel.reset();
            settle();
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    i18n::setCurrentLanguage(Language::English);
    applog::setSink({});
}

TEST(DialogPanels, TheMascotWakesInThreeDistinctFaces)
{
    testApplication();
    const design::Mood moods[] = {design::Mood::asleep, design::Mood::waking, design::Mood::awake};
    QImage sheet(3 * 96, 96, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0xfb, 0xf8, 0xf3));
    std::vector<QImage> faces;
    QPainter painter(&sheet);
    for (int i = 0; i < 3; ++i) {
        faces.push_back(design::mascotImage(moods[i], 96, 1));
        painter.drawImage(i * 96, 0, faces.back());
    }
    painter.end();
    EXPECT_NE(faces[0], faces[1]);
    EXPECT_NE(faces[1], faces[2]);
    QDir().mkpath(QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots"));
    ASSERT_TRUE(sheet.save(QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots/mascot-moods.png")));
}

} // namespace
} // namespace vantorelle
