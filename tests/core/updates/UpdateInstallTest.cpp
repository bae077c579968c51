// The checks and the file work of an install: signatures, hostile archives, the version link.
#include <cstdio>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sodium.h>

#include "TarWriter.h"
#include "support/TempDir.h"
#include "support/WithoutPrivileges.h"
#include "updates/Installation.h"
#include "updates/UpdateArchive.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;
using test::TarWriter;

std::string base64(const unsigned char* bytes, std::size_t size)
{
    std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
    out.pop_back();
    return out;
}

std::set<std::string> listing(const fs::path& root)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        names.insert(entry.path().lexically_relative(root).string());
    }
    return names;
}

TEST(UpdateArchive, SignatureHoldsOnlyForTheSignedBytesAndTheRightKey)
{
    ASSERT_GE(sodium_init(), 0);
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    unsigned char otherPk[crypto_sign_PUBLICKEYBYTES], otherSk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    crypto_sign_keypair(otherPk, otherSk);
    const std::string data = "archive bytes";
    unsigned char sig[crypto_sign_BYTES];
    crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(data.data()), data.size(), sk);
    const std::string key = base64(pk, sizeof pk), signature = base64(sig, sizeof sig);

    EXPECT_TRUE(UpdateArchive::signatureValid(data, signature, key));
    EXPECT_FALSE(UpdateArchive::signatureValid(data + "!", signature, key));
    EXPECT_FALSE(UpdateArchive::signatureValid(data, signature, base64(otherPk, sizeof otherPk)));
    EXPECT_FALSE(UpdateArchive::signatureValid(data, signature.substr(4), key));
    EXPECT_FALSE(UpdateArchive::signatureValid(data, "not base64!", key));
    EXPECT_FALSE(UpdateArchive::signatureValid(data, signature, ""));
}

TEST(UpdateArchive, UnpacksFilesFoldersAndInsideLinksKeepingTheExecuteBit)
{
    TempDir dir;
    const std::string tar = TarWriter()
                                .folder("lib/vantorelle/")
                                .file("lib/vantorelle/vantorelle-app", "#!/bin/sh\n", 0755)
                                .file("lib/vantorelle/share/notes.txt", "notes", 0600)
                                .link("lib/vantorelle/current", "share/notes.txt")
                                .finish();
    ASSERT_TRUE(UpdateArchive::extract(tar, dir.path()));
    const auto app = dir.path() / "lib/vantorelle/vantorelle-app";
    EXPECT_EQ(fs::status(app).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(fs::status(dir.path() / "lib/vantorelle/share/notes.txt").permissions() & fs::perms::all,
              fs::perms(0644));
    EXPECT_EQ(fs::read_symlink(dir.path() / "lib/vantorelle/current"), "share/notes.txt");
}

TEST(UpdateArchive, RefusesEverythingThatCouldLeaveTheFolder)
{
    const std::string good = TarWriter().file("lib/vantorelle/a", "x").finish();
    struct Case
    {
        const char* what;
        std::string tar;
    };
    const Case cases[] = {
        {"dot-dot name", TarWriter().file("lib/../../escaped", "x").finish()},
        {"absolute name", TarWriter().file("/tmp/escaped", "x").finish()},
        {"link out", TarWriter().link("lib/out", "../../escaped").finish()},
        {"absolute link", TarWriter().link("lib/out", "/etc").finish()},
        {"write through a link", TarWriter().link("lib/in", ".").file("lib/in/x", "x").finish()},
        // Each link alone stays inside, but "a/a" is the folder itself, so "a/a/../.." leaves it.
        {"link through a link", TarWriter().link("a", ".").link("s", "a/a/../..").finish()},
        {"hard link", TarWriter().hardLink("lib/h", "/etc/passwd").finish()},
        {"duplicate", TarWriter().file("a", "1").file("a", "2").finish()},
        {"truncated", good.substr(0, 700)},
        {"no end", good.substr(0, 1024)},
        {"bad checksum",
         [&] {
             std::string t = good;
             t[0] = 'b';
             return t;
         }()},
    };
    for (const auto& c : cases) {
        TempDir outer;
        const fs::path into = outer.path() / "in";
        fs::create_directory(into);
        EXPECT_FALSE(UpdateArchive::extract(c.tar, into)) << c.what;
        for (const auto& name : listing(outer.path())) {
            EXPECT_TRUE(name.starts_with("in")) << c.what << ": " << name;
        }
    }
}

std::string run(const std::string& command)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe)) {
        out += buffer;
    }
    EXPECT_TRUE(pipe && ::pclose(pipe) == 0) << command;
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

// What the release script does: GNU tar in ustar format, signed by the signing tool.
TEST(UpdateArchive, AcceptsWhatTheReleaseToolsMake)
{
    TempDir dir;
    const std::string d = dir.path().string();
    // A path over 100 bytes: tar splits it into the header's prefix and name fields.
    const fs::path sub = dir.path() / "prefix/lib/vantorelle" / std::string(60, 'd');
    fs::create_directories(sub);
    std::ofstream(dir.path() / "prefix/lib/vantorelle/vantorelle-app") << "app";
    fs::permissions(dir.path() / "prefix/lib/vantorelle/vantorelle-app", fs::perms(0755));
    std::ofstream(sub / std::string(60, 'n')) << "long name";
    const std::string publicKey = run(std::string(VANTORELLE_SIGN) + " keygen " + d + "/secret");
    run("tar --format=ustar --owner=0 --group=0 -C " + d + "/prefix -cf " + d + "/v.tar lib/vantorelle");
    const std::string signature = run(std::string(VANTORELLE_SIGN) + " sign " + d + "/secret " + d + "/v.tar");
    const std::string tar = [&] {
        std::ifstream in(dir.path() / "v.tar", std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    EXPECT_EQ(fs::status(dir.path() / "secret").permissions() & fs::perms::all, fs::perms(0600));
    EXPECT_TRUE(UpdateArchive::signatureValid(tar, signature, publicKey));
    fs::create_directory(dir.path() / "out");
    ASSERT_TRUE(UpdateArchive::extract(tar, dir.path() / "out"));
    EXPECT_EQ(listing(dir.path() / "out"), listing(dir.path() / "prefix"));
}

struct Prefix
{
    TempDir dir;
    fs::path lib = dir.path() / "lib";
    explicit Prefix(const std::string& running = "5")
    {
        fs::create_directories(lib / ("vantorelle-" + running));
        fs::create_directory_symlink("vantorelle-" + running, lib / "vantorelle");
    }
    // A staged tree as the archive unpacks it.
    fs::path staged(Installation& install, const std::string& marker)
    {
        const fs::path folder = *install.makeStagingFolder();
        fs::create_directories(folder / "lib/vantorelle");
        std::ofstream(folder / "lib/vantorelle/marker") << marker;
        return folder;
    }
};

TEST(Installation, SwitchesTheLinkKeepsOneVersionBackAndRollsBack)
{
    Prefix prefix;
    auto install = Installation::find(prefix.lib / "vantorelle-5");
    ASSERT_TRUE(install) << install.error().reason;

    ASSERT_TRUE(install->install(prefix.staged(*install, "six"), "6"));
    EXPECT_EQ(fs::read_symlink(prefix.lib / "vantorelle"), "vantorelle-6");
    EXPECT_EQ(listing(prefix.lib),
              (std::set<std::string>{"vantorelle", "vantorelle-5", "vantorelle-6", "vantorelle-6/marker"}));

    ASSERT_TRUE(install->install(prefix.staged(*install, "seven"), "7"));
    EXPECT_EQ(listing(prefix.lib),
              (std::set<std::string>{"vantorelle", "vantorelle-6", "vantorelle-6/marker", "vantorelle-7",
                                     "vantorelle-7/marker"}));
    ASSERT_TRUE(install->rollBack());
    EXPECT_EQ(fs::read_symlink(prefix.lib / "vantorelle"), "vantorelle-6");
    EXPECT_EQ(install->program("marker"), prefix.lib / "vantorelle/marker");
}

TEST(Installation, RefusesBadBuildsAndTreesWithoutTheProgramFolder)
{
    Prefix prefix;
    auto install = Installation::find(prefix.lib / "vantorelle-5");
    ASSERT_TRUE(install);
    for (const char* build : {"", "..", "../5", "6/x", "5", "6 7"}) {
        EXPECT_FALSE(install->install(prefix.staged(*install, "x"), build)) << build;
    }
    const fs::path empty = *install->makeStagingFolder();
    EXPECT_FALSE(install->install(empty, "6"));
    EXPECT_EQ(fs::read_symlink(prefix.lib / "vantorelle"), "vantorelle-5");
    EXPECT_FALSE(install->rollBack());
    // A new staging folder sweeps what earlier attempts left, a link that was never switched too.
    fs::create_directory_symlink("vantorelle-5", prefix.lib / ".vantorelle-link-stale");
    (void)install->makeStagingFolder();
    EXPECT_EQ(listing(prefix.lib).size(), 3u);
}

TEST(Installation, OnlyALinkedWritablePerUserInstallUpdatesItself)
{
    Prefix prefix;
    fs::create_directories(prefix.dir.path() / "plain/lib/vantorelle");
    const auto plain = Installation::find(prefix.dir.path() / "plain/lib/vantorelle");
    ASSERT_FALSE(plain);
    EXPECT_EQ(plain.error().kind, Installation::Refusal::Kind::notPerUser);

    // Files that outlive a version name it through the link, never through its own folder.
    EXPECT_EQ(Installation::lastingProgramFolder(prefix.lib / "vantorelle-5"), prefix.lib / "vantorelle");
    fs::create_directories(prefix.lib / "vantorelle-4");
    for (const fs::path& folder : {prefix.lib / "vantorelle-4", prefix.dir.path() / "plain/lib/vantorelle"}) {
        EXPECT_EQ(Installation::lastingProgramFolder(folder), folder);
    }

    fs::permissions(prefix.lib, fs::perms(0555));
    const int kind = runWithoutPrivileges(prefix.dir.path(), [&] {
        const auto found = Installation::find(prefix.lib / "vantorelle-5");
        return found ? 0 : 1 + static_cast<int>(found.error().kind);
    });
    EXPECT_EQ(kind, 1 + static_cast<int>(Installation::Refusal::Kind::packageManager));
}

} // namespace
} // namespace vantorelle
