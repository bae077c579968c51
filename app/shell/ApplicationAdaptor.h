// ApplicationAdaptor: org.freedesktop.Application on the app's bus object, so a second launch and
// the desktop's launchers reach the running copy.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

namespace vantorelle {

class App;

class ApplicationAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(App* app);

public slots:
    // A reopen: shows the settings.
    void Activate(const QVariantMap& platformData);
    // Vantorelle opens no documents; treated as a reopen.
    void Open(const QStringList& uris, const QVariantMap& platformData);
    // The desktop entry's actions: "lock", "unlock", "settings", "quit".
    void ActivateAction(const QString& name, const QVariantList& parameter, const QVariantMap& platformData);

private:
    App* m_app;
};

} // namespace vantorelle
