// Appcast: a streaming read of the feed; unknown elements are skipped.
#include "updates/Appcast.h"

#include <QXmlStreamReader>

#include "updates/WhatsNew.h"

namespace vantorelle::Appcast {
namespace {

constexpr QLatin1StringView kSparkle("http://www.andymatuschak.org/xml-namespaces/sparkle");

void readItem(QXmlStreamReader& xml, AppcastItem& item)
{
    while (xml.readNextStartElement()) {
        const auto name = xml.name();
        const bool sparkle = xml.namespaceUri() == kSparkle;
        if (sparkle && name == u"version") {
            item.version = xml.readElementText().trimmed();
        } else if (sparkle && name == u"shortVersionString") {
            item.displayVersion = xml.readElementText().trimmed();
        } else if (sparkle && name == u"releaseNotesLink") {
            item.releaseNotesLink = QUrl(xml.readElementText().trimmed());
        } else if (sparkle && name == u"informationalUpdate") {
            item.informationOnly = true;
            xml.skipCurrentElement();
        } else if (!sparkle && name == u"title") {
            item.title = xml.readElementText();
        } else if (!sparkle && name == u"description") {
            const auto format = xml.attributes().value(QString(kSparkle), QStringLiteral("format"));
            if (!format.isEmpty()) {
                item.descriptionFormat = format.toString();
            }
            item.description = xml.readElementText();
        } else if (!sparkle && name == u"enclosure") {
            const auto attributes = xml.attributes();
            item.url = QUrl(attributes.value(QStringLiteral("url")).toString());
            item.length = attributes.value(QStringLiteral("length")).toLongLong();
            item.type = attributes.value(QStringLiteral("type")).toString();
            item.edSignature = attributes.value(QString(kSparkle), QStringLiteral("edSignature")).toString();
            if (item.version.isEmpty()) {
                item.version = attributes.value(QString(kSparkle), QStringLiteral("version")).toString();
            }
            if (item.displayVersion.isEmpty()) {
                item.displayVersion
                    = attributes.value(QString(kSparkle), QStringLiteral("shortVersionString")).toString();
            }
            xml.skipCurrentElement();
        } else {
            xml.skipCurrentElement();
        }
    }
}

} // namespace

std::expected<std::vector<AppcastItem>, QString> parse(const QByteArray& data)
{
    QXmlStreamReader xml(data);
    std::vector<AppcastItem> items;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == u"item" && xml.namespaceUri().isEmpty()) {
            AppcastItem item;
            readItem(xml, item);
            if (!item.version.isEmpty()) {
                if (item.displayVersion.isEmpty()) {
                    item.displayVersion = item.version;
                }
                items.push_back(std::move(item));
            }
        }
    }
    if (xml.hasError()) {
        return std::unexpected(QStringLiteral("appcast is not valid XML: %1").arg(xml.errorString()));
    }
    return items;
}

std::optional<AppcastItem> newest(const std::vector<AppcastItem>& items, const QString& runningBuild)
{
    const std::string running = runningBuild.toStdString();
    const AppcastItem* best = nullptr;
    for (const auto& item : items) {
        const std::string build = item.version.toStdString();
        if (compareBuilds(build, running) > 0 && (!best || compareBuilds(build, best->version.toStdString()) > 0)) {
            best = &item;
        }
    }
    return best ? std::optional(*best) : std::nullopt;
}

bool allowedURL(const QUrl& url)
{
    // Credentials in an address end up in requests to wherever it redirects, and in the log.
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty()) {
        return false;
    }
    return url.scheme() == u"https" || (url.scheme() == u"http" && url.host() == u"127.0.0.1");
}

} // namespace vantorelle::Appcast
