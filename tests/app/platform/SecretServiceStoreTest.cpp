// The Secret Service store against a real GNOME Keyring on a private session bus.
#include <cctype>
#include <csignal>
#include <filesystem>
#include <future>
#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include "BusServices.h"
#include "platform/SecretServicePassphraseStore.h"
#include "support/TestFiles.h"

using namespace vantorelle;
using namespace std::chrono_literals;
using Kind = PassphraseStoreError::Kind;

namespace {

SSHKey key(const std::string& path)
{
    SSHKey k;
    k.path = path;
    return k;
}

SecretString secret(std::string_view text)
{
    return SecretString(text);
}

// Our own service object: libsecret's shared one may still speak to an earlier test's daemon.
SecretService* openService()
{
    return secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, nullptr);
}

// Locks the default collection, as a screen lock would.
void lockDefaultCollection()
{
    SecretService* service = openService();
    SecretCollection* collection = secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT,
                                                                    SECRET_COLLECTION_NONE, nullptr, nullptr);
    ASSERT_NE(collection, nullptr);
    GList objects = {collection, nullptr, nullptr};
    EXPECT_EQ(secret_service_lock_sync(service, &objects, nullptr, nullptr, nullptr), 1);
    g_object_unref(collection);
    g_object_unref(service);
}

int itemCount(const std::string& path)
{
    const std::string service = SecretServicePassphraseStore::serviceAttribute();
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(path.c_str()));
    SecretService* connection = openService();
    GList* items = secret_service_search_sync(connection, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_object_unref(connection);
    g_hash_table_unref(attributes);
    return count;
}

struct Approval : AuthenticationContext
{
};

class SecretServiceStore : public ::testing::Test
{
protected:
    test::Daemon keyring = test::startGnomeKeyring();
    SecretServicePassphraseStore store{{.call = 20s, .prompt = 3s}};
    test::LogCapture log;
};

} // namespace

TEST_F(SecretServiceStore, SavingTwiceLeavesOneItemAndDeletingTwiceIsNoError)
{
    const auto k = key("/home/u/.ssh/id_twice");
    ASSERT_TRUE(store.save(secret("first"), k));
    ASSERT_TRUE(store.save(secret("second"), k));
    EXPECT_EQ(itemCount(k.path), 1);
    EXPECT_EQ(store.passphrases({k}, nullptr)->at(k.path).view(), "second");

    EXPECT_TRUE(store.remove(k));
    EXPECT_EQ(itemCount(k.path), 0);
    EXPECT_FALSE(store.hasPassphrase(k.path));
    EXPECT_TRUE(store.remove(k));
}

TEST_F(SecretServiceStore, MissingKeysAreLeftOutAndOnlyNoneAtAllIsNotFound)
{
    const auto missing = key("/home/u/.ssh/id_missing"), other = key("/home/u/.ssh/id_other"),
               stored = key("/home/u/.ssh/id_stored");
    ASSERT_TRUE(store.save(secret("pässphrase ✓"), stored));

    // Read on another thread, as the coordinator's executor does.
    auto one = std::async(std::launch::async, [&] { return store.passphrases({missing, stored}, nullptr); }).get();
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(one->at(stored.path).view(), "pässphrase ✓");

    auto none = store.passphrases({missing, other}, nullptr);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, Kind::notFound);
    EXPECT_EQ(log.lines().back(), "keychain: read refused: not found");
}

TEST_F(SecretServiceStore, ALockedCollectionIsCancelledWithoutPromptingYetCountsAsStored)
{
    const auto k = key("/home/u/.ssh/id_locked");
    ASSERT_TRUE(store.save(secret("locked away"), k));
    lockDefaultCollection();

    const auto started = std::chrono::steady_clock::now();
    auto read = store.passphrases({k}, nullptr);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, Kind::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "answered at once, not at the 20 s deadline";
    EXPECT_EQ(log.lines().back(), "keychain: read refused: locked");
    EXPECT_TRUE(store.hasPassphrase(k.path));
    EXPECT_FALSE(store.hasPassphrase("/home/u/.ssh/never_saved"));

    // With an approval the store asks to unlock; with nobody to answer (no display) that fails
    // within the prompt deadline instead of hanging.
    auto approved = store.passphrases({k}, std::make_shared<Approval>());
    ASSERT_FALSE(approved);
    EXPECT_EQ(approved.error().kind, Kind::cancelled) << approved.error().detail;
    // Deleting needs the same unlock; refused, the item stays.
    EXPECT_FALSE(store.remove(k));
    EXPECT_EQ(itemCount(k.path), 1);
}

TEST_F(SecretServiceStore, AServiceThatDoesNotAnswerIsCancelledAtTheDeadlineButAnEmptyListNeedsNoService)
{
    const auto k = key("/home/u/.ssh/id_stopped");
    ASSERT_TRUE(store.save(secret("stopped"), k));
    SecretServicePassphraseStore impatient{{.call = 500ms, .prompt = 500ms}};
    ::kill(keyring.pid(), SIGSTOP);
    auto empty = impatient.passphrases({}, nullptr);
    auto read = impatient.passphrases({k}, nullptr);
    const bool present = impatient.hasPassphrase(k.path);
    auto saved = impatient.save(secret("other"), k);
    ::kill(keyring.pid(), SIGCONT);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, Kind::cancelled);
    EXPECT_EQ(log.lines().at(0), "keychain: read refused: no answer from the Secret Service in time");
    EXPECT_FALSE(present);
    EXPECT_FALSE(saved);
}

TEST_F(SecretServiceStore, NoPassphraseAppearsInAnyProcessArgumentsOrEnvironment)
{
    const std::string canary = "argv-and-environ-canary-7f3a";
    const auto k = key("/home/u/.ssh/id_canary");
    ASSERT_TRUE(store.save(secret(canary), k));
    ASSERT_EQ(store.passphrases({k}, nullptr)->at(k.path).view(), canary);
    for (const auto& process : std::filesystem::directory_iterator("/proc")) {
        for (const char* part : {"cmdline", "environ"}) {
            if (std::isdigit(process.path().filename().string()[0])) {
                EXPECT_EQ(test::readFile(process.path() / part).find(canary), std::string::npos) << process.path();
            }
        }
    }
}
