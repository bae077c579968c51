#include "dialogs/DialogPanels.h"

#include <QApplication>
#include <QPainter>
#include <gtest/gtest.h>

#include "app/TestApplication.h"
#include "app/dialogs/DialogFakes.h"
#include "design/Mascot.h"
#include "i18n/L.h"

namespace vantorelle {
namespace {

using namespace test;

TEST(DialogPanels, BothStagesInBothLanguagesShowOnTopMountTheFingerprintWidgetAndTheMascotWakes)
{
    testApplication();
    const QString screenshots = QStringLiteral(VANTORELLE_SOURCE_DIR "/docs/screenshots/");
    LogCapture log;
    ManualClock clock;
    PanelViews views(clock);
    for (auto [language, suffix] : {std::pair{Language::English, "en"}, std::pair{Language::French, "fr"}}) {
        i18n::setCurrentLanguage(language);
        for (bool typing : {false, true}) {
            UnlockModel model(typing ? UnlockModel::Stage{UnlockModel::Typing{L("dialog.typing.unavailable")}}
                                     : UnlockModel::Stage{UnlockModel::Fingerprint{}},
                              {"git", Requester::Kind::interactive},
                              {SSHKey{.path = "/h/.ssh/id_ed25519"}, SSHKey{.path = "/h/.ssh/work"}}, 5400,
                              {.clock = clock, .newContext = [&] { return std::make_shared<FakeContext>(); }});
            auto panel = views.showUnlock(model);
            settle();
            auto* window = qobject_cast<DialogPanel*>(QApplication::topLevelWidgets().back());
            ASSERT_NE(window, nullptr);
            EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
            const auto stage = typing ? "typing" : "fingerprint";
            ASSERT_TRUE(window->grab().save(screenshots + QStringLiteral("dialog-%1-%2.png").arg(stage, suffix)));
            EXPECT_EQ(std::ranges::count_if(log.lines, [](auto& l) { return l.starts_with("LAAuthenticationView"); }),
                      typing ? 0 : 1)
                << "the fingerprint widget mounts once it is shown";
            log.lines.clear();
            panel.reset();
            settle();
            QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
    }
    i18n::setCurrentLanguage(Language::English);
    SCOPED_TRACE("the mascot wakes in three distinct faces");
    QImage sheet(3 * 96, 96, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0xfb, 0xf8, 0xf3));
    const design::Mood moods[] = {design::Mood::asleep, design::Mood::waking, design::Mood::awake};
    std::vector<QImage> faces;
    QPainter painter(&sheet);
    for (int i = 0; i < 3; ++i) {
        painter.drawImage(i * 96, 0, faces.emplace_back(design::mascotImage(moods[i], 96, 1)));
    }
    painter.end();
    EXPECT_NE(faces[0], faces[1]);
    EXPECT_NE(faces[1], faces[2]);
    ASSERT_TRUE(sheet.save(screenshots + "mascot-moods.png"));
}

} // namespace
} // namespace vantorelle
