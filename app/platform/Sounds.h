// Sounds: the dialog's three short sounds, played when the app's and the desktop's settings allow.
#pragma once

#include <QUrl>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QSoundEffect;

namespace vantorelle {

class Defaults;

// GUI thread only. A sound's file is loaded on its first play and kept for the run; while the
// settings say no, nothing is loaded at all.
class Sounds
{
public:
    enum class Name { appear, success, fail };

    // `desktopSetting` answers the desktop's user-interface sound setting, or nothing where the
    // desktop has none; it is asked on every play, so a change applies at once.
    explicit Sounds(const Defaults& defaults,
                    std::function<std::optional<bool>()> desktopSetting = &Sounds::desktopEventSounds);
    ~Sounds();
    Sounds(const Sounds&) = delete;
    Sounds& operator=(const Sounds&) = delete;

    void play(Name name);

    // Whether the sound's file has been loaded (tests; nothing else needs it).
    bool isLoaded(Name name) const;

    static QUrl source(Name name); // "qrc:/sounds/<base name>.wav"
    static double volume(Name name);
    // GNOME's org.gnome.desktop.sound event-sounds, or nothing where that schema is not installed.
    static std::optional<bool> desktopEventSounds();

private:
    const Defaults& m_defaults;
    std::function<std::optional<bool>()> m_desktopSetting;
    std::map<Name, std::unique_ptr<QSoundEffect>> m_effects;
};

} // namespace vantorelle
