// Appcast: the update feed, RSS 2.0 with the sparkle namespace, and the choice of the update.
#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <expected>
#include <optional>
#include <vector>

namespace vantorelle {

struct AppcastItem
{
    QString title;
    QString version; // sparkle:version, the build number
    QString displayVersion; // sparkle:shortVersionString, else the build number
    QString description;
    std::optional<QString> descriptionFormat; // the description's sparkle:format
    QUrl releaseNotesLink;
    bool informationOnly = false; // sparkle:informationalUpdate
    QUrl url; // the enclosure
    qint64 length = 0;
    QString type;
    QString edSignature; // base64 Ed25519 signature of the enclosure
};

namespace Appcast {

// Every <item> of the channel that names a build. Malformed XML is an error; items without a
// build are left out.
std::expected<std::vector<AppcastItem>, QString> parse(const QByteArray& xml);

// The item with the greatest build above `runningBuild` (builds compared numerically), or none.
std::optional<AppcastItem> newest(const std::vector<AppcastItem>& items, const QString& runningBuild);

// Where the updater may fetch from: HTTPS anywhere, plain HTTP only from 127.0.0.1, never an
// address carrying a user name or password.
bool allowedURL(const QUrl& url);

} // namespace Appcast
} // namespace vantorelle
