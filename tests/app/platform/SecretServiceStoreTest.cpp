// The Secret Service store against a real GNOME Keyring on a private session bus.
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <csignal>
#include <filesystem>
#include <future>

#include "BusServices.h"
#include "platform/SecretServicePassphraseStore.h"
#include "support/TestFiles.h"

using namespace vantorelle;
using namespace std::chrono_literals;
using Kind = PassphraseStoreError::Kind;

namespace {

const QString kSecrets = QStringLiteral("org.freedesktop.secrets"), kRoot = QStringLiteral("/org/freedesktop/secrets"),
              kService = QStringLiteral("org.freedesktop.Secret.Service");
using Paths = QList<QDBusObjectPath>;

// Locked and unlocked items alike.
int itemCount(const std::string& path)
{
    qDBusRegisterMetaType<QMap<QString, QString>>();
    const QMap<QString, QString> attributes{
        {"service", QString::fromStdString(SecretServicePassphraseStore::serviceAttribute())},
        {"account", QString::fromStdString(path)}};
    const auto found = test::busCall(kSecrets, kRoot, kService, "SearchItems", {QVariant::fromValue(attributes)});
    return qdbus_cast<Paths>(found.arguments().value(0)).size() + qdbus_cast<Paths>(found.arguments().value(1)).size();
}

} // namespace

TEST(SecretServiceStore, OneItemPerKeyMissingKeysLeftOutLockedOrSilentServiceCancelledInTime)
{
    test::QtApp app;
    test::Daemon keyring = test::startGnomeKeyring();
    SecretServicePassphraseStore store{{.call = 20s, .prompt = 3s}};
    test::LogCapture log;
    const SSHKey k{.path = "/home/u/.ssh/id_stored"}, missing{.path = "/home/u/.ssh/id_missing"};
    const std::string canary = "pässphrase ✓ canary-7f3a";

    // Saved twice: one item. Read on another thread, as the coordinator's executor does.
    ASSERT_TRUE(store.save(SecretString(std::string("first")), k));
    ASSERT_TRUE(store.save(SecretString(canary), k));
    EXPECT_EQ(itemCount(k.path), 1);
    auto read = std::async(std::launch::async, [&] { return store.passphrases({missing, k}, nullptr); }).get();
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ(read->at(k.path).view(), canary);
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        for (const char* part : {"cmdline", "environ"}) {
            EXPECT_EQ(test::readFile(process.path() / part).find(canary), std::string::npos) << process.path();
        }
    }

    // None of the keys stored; then deleted twice.
    auto none = store.passphrases({missing}, nullptr);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, Kind::notFound);
    EXPECT_EQ(log.lines.back(), "keychain: read refused: not found");
    EXPECT_TRUE(store.remove(k));
    EXPECT_FALSE(store.hasPassphrase(k.path));
    EXPECT_TRUE(store.remove(k));

    // A locked collection, as after a screen lock: cancelled at once without prompting, yet stored.
    ASSERT_TRUE(store.save(SecretString(std::string("locked away")), k));
    const auto alias = test::busCall(kSecrets, kRoot, kService, "ReadAlias", {"default"}).arguments().value(0);
    const Paths collection{alias.value<QDBusObjectPath>()};
    const auto lock = test::busCall(kSecrets, kRoot, kService, "Lock", {QVariant::fromValue(collection)});
    ASSERT_EQ(qdbus_cast<Paths>(lock.arguments().value(0)), collection);
    const auto started = std::chrono::steady_clock::now();
    auto locked = store.passphrases({k}, nullptr);
    ASSERT_FALSE(locked);
    EXPECT_EQ(locked.error().kind, Kind::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "answered at once, not at the 20 s deadline";
    EXPECT_EQ(log.lines.back(), "keychain: read refused: locked");
    EXPECT_TRUE(store.hasPassphrase(k.path));
    EXPECT_FALSE(store.hasPassphrase(missing.path));
    // With an approval the store asks to unlock; with nobody to answer (no display) that fails
    // within the prompt deadline instead of hanging. Deleting needs the same unlock.
    auto approved = store.passphrases({k}, std::make_shared<AuthenticationContext>());
    ASSERT_FALSE(approved);
    EXPECT_EQ(approved.error().kind, Kind::cancelled) << approved.error().detail;
    EXPECT_FALSE(store.remove(k));
    EXPECT_EQ(itemCount(k.path), 1);

    // A service that does not answer: cancelled at the deadline. An empty list needs no service.
    SecretServicePassphraseStore impatient{{.call = 500ms, .prompt = 500ms}};
    ::kill(keyring.pid(), SIGSTOP);
    auto empty = impatient.passphrases({}, nullptr);
    auto silent = impatient.passphrases({k}, nullptr);
    const std::string logged = log.lines.back();
    const bool present = impatient.hasPassphrase(k.path);
    auto saved = impatient.save(SecretString(std::string("other")), k);
    ::kill(keyring.pid(), SIGCONT);
    EXPECT_TRUE(empty && empty->empty());
    ASSERT_FALSE(silent);
    EXPECT_EQ(silent.error().kind, Kind::cancelled);
    EXPECT_EQ(logged, "keychain: read refused: no answer from the Secret Service in time");
    EXPECT_FALSE(present);
    EXPECT_FALSE(saved);
}
