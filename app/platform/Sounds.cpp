// Sounds: QSoundEffect per sound, created on first play, only while sounds are allowed.
#include "platform/Sounds.h"

#include <QEventLoop>
#include <QSoundEffect>
#include <QTimer>
#include <algorithm>

#include "defaults/Defaults.h"
#include "platform/DesktopSoundSetting.h"
#include "window/SoundPolicy.h"

namespace vantorelle {
namespace {

constexpr int kLoadingDeadlineMs = 2'000;

} // namespace

Sounds::Sounds(const Defaults& defaults, std::function<std::optional<bool>()> desktopSetting)
    : m_defaults(defaults)
    , m_desktopSetting(std::move(desktopSetting))
{
}

Sounds::~Sounds()
{
    // Qt's shared sample cache deadlocks at process exit when a sample is still being decoded on
    // its loader thread, so a sound played just before quitting must finish loading first.
    const auto loading = [this] {
        return std::ranges::any_of(m_effects,
                                   [](const auto& entry) { return entry.second->status() == QSoundEffect::Loading; });
    };
    if (!loading()) {
        return;
    }
    QEventLoop loop;
    for (const auto& [name, effect] : m_effects) {
        QObject::connect(effect.get(), &QSoundEffect::statusChanged, &loop, [&] {
            if (!loading()) {
                loop.quit();
            }
        });
    }
    QTimer::singleShot(kLoadingDeadlineMs, &loop, &QEventLoop::quit);
    loop.exec();
}

QUrl Sounds::source(Name name)
{
    switch (name) {
    case Name::appear:
        return QUrl(QStringLiteral("qrc:/sounds/appear.wav"));
    case Name::success:
        return QUrl(QStringLiteral("qrc:/sounds/juice.wav"));
    case Name::fail:
        return QUrl(QStringLiteral("qrc:/sounds/fail.wav"));
    }
    return {};
}

double Sounds::volume(Name name)
{
    return name == Name::appear ? 0.3 : 0.5;
}

std::optional<bool> Sounds::desktopEventSounds()
{
    return readGSettingsBoolean(SoundPolicy::systemUISchema, SoundPolicy::systemUIKey);
}

void Sounds::play(Name name)
{
    if (!SoundPolicy::shouldPlay(m_defaults, m_desktopSetting ? m_desktopSetting() : std::nullopt)) {
        return;
    }
    auto& effect = m_effects[name];
    if (!effect) {
        effect = std::make_unique<QSoundEffect>();
        effect->setSource(source(name));
        effect->setVolume(static_cast<float>(volume(name)));
    }
    // Playing again while it still sounds starts it over, like rewinding to 0.
    effect->stop();
    effect->play();
}

bool Sounds::isLoaded(Name name) const
{
    return m_effects.contains(name);
}

} // namespace vantorelle
