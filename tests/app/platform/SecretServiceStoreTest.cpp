// The Secret Service store against a real GNOME Keyring on a private session bus.
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <mutex>

#include "BusServices.h"
#include "platform/Log.h"
#include "platform/SecretServicePassphraseStore.h"

using namespace vantorelle;
using namespace std::chrono_literals;
using Kind = PassphraseStoreError::Kind;

namespace {

SSHKey keyAt(const std::string& path)
{
    SSHKey key;
    key.path = path;
    return key;
}

SecretString secret(std::string_view text)
{
    return SecretString(text);
}

struct Approval : AuthenticationContext
{
};

// Every line the store logs, for the assertions on "read refused: ...".
class LogCapture
{
public:
    LogCapture()
    {
        applog::setSink([this](std::string_view category, applog::Level, std::string_view message) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(std::string(category) + ": " + std::string(message));
        });
    }
    ~LogCapture() { applog::setSink({}); }
    bool contains(std::string_view text)
    {
        std::lock_guard lock(m_mutex);
        for (const auto& line : m_lines) {
            if (line.find(text) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Locks the default collection the way a screen lock or the user would.
void lockDefaultCollection()
{
    // A service object of its own: libsecret's shared one may still speak to an earlier test's daemon.
    SecretService* service
        = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
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
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    const std::string serviceName = SecretServicePassphraseStore::serviceAttribute();
    g_hash_table_insert(attributes, const_cast<char*>("service"), const_cast<char*>(serviceName.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("account"), const_cast<char*>(path.c_str()));
    SecretService* service
        = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, nullptr, nullptr);
    GList* items = secret_service_search_sync(service, nullptr, attributes, SECRET_SEARCH_ALL, nullptr, nullptr);
    g_object_unref(service);
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    g_hash_table_unref(attributes);
    return count;
}

// Any process whose argv or environment holds `secret`.
std::vector<std::string> processesExposing(const std::string& secret)
{
    std::vector<std::string> found;
    DIR* proc = ::opendir("/proc");
    while (dirent* entry = ::readdir(proc)) {
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9') {
            continue;
        }
        for (const char* part : {"cmdline", "environ"}) {
            std::ifstream in(std::string("/proc/") + entry->d_name + "/" + part, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), {});
            if (bytes.find(secret) != std::string::npos) {
                found.push_back(std::string(entry->d_name) + "/" + part);
            }
        }
    }
    ::closedir(proc);
    return found;
}

class SecretServiceStore : public ::testing::Test
{
protected:
    test::Daemon keyring = test::startGnomeKeyring();
    SecretServicePassphraseStore store{{.call = 20s, .prompt = 3s}};
    LogCapture log;
};

} // namespace

TEST_F(SecretServiceStore, SavingTwiceLeavesOneItemWithTheSecondPassphrase)
{
    const auto key = keyAt("/home/u/.ssh/id_twice");
    ASSERT_TRUE(store.save(secret("first passphrase"), key));
    ASSERT_TRUE(store.save(secret("second passphrase"), key));
    EXPECT_EQ(itemCount(key.path), 1);
    auto read = store.passphrases({key}, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at(key.path).view(), "second passphrase");
}

TEST_F(SecretServiceStore, ReadsTheStoredKeysAndSaysNotFoundOnlyWhenNoneIsStored)
{
    const auto missing = keyAt("/home/u/.ssh/id_missing");
    const auto other = keyAt("/home/u/.ssh/id_other_missing");
    const auto stored = keyAt("/home/u/.ssh/id_stored");
    ASSERT_TRUE(store.save(secret("pässphrase ✓"), stored));

    auto one = store.passphrases({missing, stored}, nullptr);
    ASSERT_TRUE(one);
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(one->at(stored.path).view(), "pässphrase ✓");

    auto none = store.passphrases({missing, other}, nullptr);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().kind, Kind::notFound);
    EXPECT_TRUE(log.contains("keychain: read refused: not found"));
}

TEST_F(SecretServiceStore, AnEmptyListAnswersWithoutTheService)
{
    ::kill(keyring.pid(), SIGSTOP); // any call to the service would now have to wait for the deadline
    SecretServicePassphraseStore impatient{{.call = 60s, .prompt = 60s}};
    const auto started = std::chrono::steady_clock::now();
    auto read = impatient.passphrases({}, nullptr);
    ::kill(keyring.pid(), SIGCONT);
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}

TEST_F(SecretServiceStore, ALockedCollectionIsCancelledWithoutContextAndStillCountsAsStored)
{
    const auto key = keyAt("/home/u/.ssh/id_locked");
    ASSERT_TRUE(store.save(secret("locked away"), key));
    lockDefaultCollection();

    const auto started = std::chrono::steady_clock::now();
    auto read = store.passphrases({key}, nullptr);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, Kind::cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s) << "must not wait for the 20 s deadline";
    EXPECT_TRUE(log.contains("keychain: read refused: locked"));

    EXPECT_TRUE(store.hasPassphrase(key.path.string()));
    EXPECT_FALSE(store.hasPassphrase("/home/u/.ssh/never_saved"));

    // With an approval the store may ask to unlock; with nobody to answer (no display) it gives up
    // within its prompt deadline instead of hanging.
    auto approved = store.passphrases({key}, std::make_shared<Approval>());
    ASSERT_FALSE(approved);
    EXPECT_EQ(approved.error().kind, Kind::cancelled) << approved.error().detail;
}

TEST_F(SecretServiceStore, DeletingRemovesTheItemAndAMissingItemIsNoError)
{
    const auto key = keyAt("/home/u/.ssh/id_delete");
    ASSERT_TRUE(store.save(secret("to be deleted"), key));
    EXPECT_TRUE(store.remove(key));
    EXPECT_EQ(itemCount(key.path), 0);
    EXPECT_FALSE(store.hasPassphrase(key.path.string()));
    EXPECT_TRUE(store.remove(key));
    EXPECT_TRUE(store.remove(keyAt("/home/u/.ssh/never_there")));
}

TEST_F(SecretServiceStore, AServiceThatDoesNotAnswerIsCancelledAtTheDeadline)
{
    const auto key = keyAt("/home/u/.ssh/id_stopped");
    ASSERT_TRUE(store.save(secret("stopped"), key));
    SecretServicePassphraseStore impatient{{.call = 500ms, .prompt = 500ms}};
    ::kill(keyring.pid(), SIGSTOP);
    const auto started = std::chrono::steady_clock::now();
    auto read = impatient.passphrases({key}, nullptr);
    const bool present = impatient.hasPassphrase(key.path.string());
    auto saved = impatient.save(secret("other"), key);
    ::kill(keyring.pid(), SIGCONT);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, Kind::cancelled);
    EXPECT_FALSE(present);
    EXPECT_FALSE(saved);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_TRUE(log.contains("keychain: read refused: "));
}

TEST_F(SecretServiceStore, NoPassphraseAppearsInAnyProcessArgumentsOrEnvironment)
{
    const std::string canary = "argv-and-environ-canary-7f3a";
    const auto key = keyAt("/home/u/.ssh/id_canary");
    ASSERT_TRUE(store.save(secret(canary), key));
    auto read = store.passphrases({key}, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->at(key.path).view(), canary);
    EXPECT_EQ(processesExposing(canary), std::vector<std::string>{});
}
