// ApplicationAdaptor: each call is logged and handed to the app on the GUI thread.
#include "shell/ApplicationAdaptor.h"

#include "platform/Log.h"
#include "shell/App.h"

namespace vantorelle {

ApplicationAdaptor::ApplicationAdaptor(App* app)
    : QDBusAbstractAdaptor(app)
    , m_app(app)
{
}

void ApplicationAdaptor::Activate(const QVariantMap&)
{
    applog::info("app", "reopened by another launch");
    m_app->openSettings();
}

void ApplicationAdaptor::Open(const QStringList&, const QVariantMap&)
{
    applog::info("app", "reopened by another launch");
    m_app->openSettings();
}

void ApplicationAdaptor::ActivateAction(const QString& name, const QVariantList&, const QVariantMap&)
{
    applog::info("app", "desktop action " + name.toStdString());
    m_app->activateAction(name);
}

} // namespace vantorelle
