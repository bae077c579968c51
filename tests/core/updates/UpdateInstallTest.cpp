// The checks and the file work of an install: signatures, hostile archives, the version link.
#include <gtest/gtest.h>
#include <set>

#include "TarWriter.h"
#include "support/SshTools.h"
#include "support/TempDir.h"
#include "support/TestFiles.h"
#include "support/WithoutPrivileges.h"
#include "updates/Installation.h"
#include "updates/UpdateArchive.h"

namespace vantorelle {
namespace {

namespace fs = std::filesystem;

std::set<std::string> listing(const fs::path& root)
{
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        names.insert(entry.path().lexically_relative(root).string());
    }
    return names;
}

// What the release script does: GNU tar in ustar format, signed by the signing tool.
TEST(UpdateArchive, UnpacksWhatTheReleaseToolsMakeTrustsOnlySignedBytesAndRefusesAnythingLeavingTheFolder)
{
    TempDir dir;
    const std::string d = dir.path().string();
    const auto run = [](const std::string& tool, const std::vector<std::string>& args) {
        const auto out = test::runTool(tool, args);
        EXPECT_EQ(out.status, 0) << tool << ": " << out.output;
        return out.output;
    };
    const fs::path app = "lib/vantorelle/vantorelle-app",
                   notes = "lib/vantorelle" / fs::path(std::string(60, 'd')) / std::string(60, 'n');
    test::writeFile(dir.path() / "prefix" / app, "app", fs::perms(0755));
    // Over 100 bytes: tar splits the path into the header's prefix and name fields. Its mode is not kept.
    test::writeFile(dir.path() / "prefix" / notes, "notes", fs::perms(0600));
    fs::create_symlink("vantorelle-app", dir.path() / "prefix/lib/vantorelle/current");
    const std::string key = run(VANTORELLE_SIGN, {"keygen", d + "/secret"});
    const std::string otherKey = run(VANTORELLE_SIGN, {"keygen", d + "/other"});
    run("/usr/bin/tar", {"--format=ustar", "--owner=0", "--group=0", "-C", d + "/prefix", "-cf", d + "/v.tar", "lib"});
    const std::string sig = run(VANTORELLE_SIGN, {"sign", d + "/secret", d + "/v.tar"});
    const std::string tar = test::readFile(dir.path() / "v.tar");
    EXPECT_EQ(fs::status(dir.path() / "secret").permissions() & fs::perms::all, fs::perms(0600));

    // clang-format off
    const std::tuple<std::string, std::string, std::string, bool> signatures[] = {{tar, sig, key, true},
        {tar + "!", sig, key, false}, {tar, sig, otherKey, false}, {tar, sig.substr(4), key, false},
        {tar, "not base64!", key, false}, {tar, sig, "", false}};
    // clang-format on
    for (const auto& [data, signature, publicKey, valid] : signatures) {
        EXPECT_EQ(UpdateArchive::signatureValid(data, signature, publicKey), valid) << signature << " " << publicKey;
    }
    const fs::path out = dir.path() / "out";
    fs::create_directory(out);
    ASSERT_TRUE(UpdateArchive::extract(tar, out));
    EXPECT_EQ(listing(out), listing(dir.path() / "prefix"));
    EXPECT_EQ(fs::status(out / app).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
    EXPECT_EQ(fs::status(out / notes).permissions() & fs::perms::all, fs::perms(0644));
    EXPECT_EQ(fs::read_symlink(out / "lib/vantorelle/current"), "vantorelle-app");

    const std::string good = test::TarWriter().file("lib/vantorelle/a", "x").finish();
    // clang-format off
    const std::pair<const char*, std::string> cases[] = {
        {"dot-dot name", test::TarWriter().file("lib/../../escaped", "x").finish()},
        {"absolute name", test::TarWriter().file("/tmp/escaped", "x").finish()},
        {"link out", test::TarWriter().link("lib/out", "../../escaped").finish()},
        {"absolute link", test::TarWriter().link("lib/out", "/etc").finish()},
        {"write through a link", test::TarWriter().link("lib/in", ".").file("lib/in/x", "x").finish()},
        // Each link alone stays inside, but "a/a" is the folder itself, so "a/a/../.." leaves it.
        {"link through a link", test::TarWriter().link("a", ".").link("s", "a/a/../..").finish()},
        {"hard link", test::TarWriter().hardLink("lib/h", "/etc/passwd").finish()},
        {"duplicate", test::TarWriter().file("a", "1").file("a", "2").finish()},
        {"truncated", good.substr(0, 700)},
        {"no end", good.substr(0, 1024)},
        {"bad checksum", "b" + good.substr(1)},
    };
    // clang-format on
    // Folders are made as needed; nothing of a refused archive lands outside the target.
    EXPECT_TRUE(UpdateArchive::extract(good, dir.path()) && test::readFile(dir.path() / "lib/vantorelle/a") == "x");
    for (const auto& [what, hostile] : cases) {
        TempDir outer;
        fs::create_directory(outer.path() / "in");
        EXPECT_FALSE(UpdateArchive::extract(hostile, outer.path() / "in")) << what;
        for (const auto& name : listing(outer.path())) {
            EXPECT_TRUE(name.starts_with("in")) << what << ": " << name;
        }
    }
}

TEST(Installation, SwitchesKeepsOneVersionBackRollsBackAndUpdatesOnlyALinkedWritablePerUserInstall)
{
    TempDir dir;
    const fs::path lib = dir.path() / "lib";
    fs::create_directories(lib / "vantorelle-5");
    fs::create_directory_symlink("vantorelle-5", lib / "vantorelle");
    auto install = Installation::find(lib / "vantorelle-5");
    ASSERT_TRUE(install) << install.error().reason;
    // A staged tree as the archive unpacks it.
    const auto staged = [&] {
        const fs::path folder = *install->makeStagingFolder();
        test::writeFile(folder / "lib/vantorelle/marker", "x");
        return folder;
    };

    for (const char* build : {"", "..", "../5", "6/x", "5", "6 7"}) {
        EXPECT_FALSE(install->install(staged(), build)) << build;
    }
    EXPECT_FALSE(install->install(*install->makeStagingFolder(), "6")); // no program folder
    EXPECT_FALSE(install->rollBack());
    EXPECT_EQ(fs::read_symlink(lib / "vantorelle"), "vantorelle-5");
    // A new staging folder sweeps what earlier attempts left, a link that was never switched too.
    fs::create_directory_symlink("vantorelle-5", lib / ".vantorelle-link-stale");
    (void)install->makeStagingFolder();
    EXPECT_EQ(listing(lib).size(), 3u);

    ASSERT_TRUE(install->install(staged(), "6"));
    EXPECT_EQ(fs::read_symlink(lib / "vantorelle"), "vantorelle-6");
    EXPECT_EQ(listing(lib),
              (std::set<std::string>{"vantorelle", "vantorelle-5", "vantorelle-6", "vantorelle-6/marker"}));
    ASSERT_TRUE(install->install(staged(), "7"));
    EXPECT_EQ(listing(lib),
              (std::set<std::string>{"vantorelle", "vantorelle-6", "vantorelle-6/marker", "vantorelle-7",
                                     "vantorelle-7/marker"}));
    ASSERT_TRUE(install->rollBack());
    EXPECT_EQ(fs::read_symlink(lib / "vantorelle"), "vantorelle-6");
    EXPECT_EQ(install->program("marker"), lib / "vantorelle/marker");

    // Files that outlive a version name it through the link, never through its own folder.
    const fs::path plain = dir.path() / "plain/lib/vantorelle";
    fs::create_directories(plain);
    EXPECT_EQ(Installation::find(plain).error().kind, Installation::Refusal::Kind::notPerUser);
    EXPECT_EQ(Installation::lastingProgramFolder(lib / "vantorelle-6"), lib / "vantorelle");
    EXPECT_EQ(Installation::lastingProgramFolder(lib / "vantorelle-7"), lib / "vantorelle-7");
    EXPECT_EQ(Installation::lastingProgramFolder(plain), plain);
    fs::permissions(lib, fs::perms(0555));
    const int kind = runWithoutPrivileges(dir.path(), [&] {
        const auto found = Installation::find(lib / "vantorelle-6");
        return found ? 0 : 1 + static_cast<int>(found.error().kind);
    });
    EXPECT_EQ(kind, 1 + static_cast<int>(Installation::Refusal::Kind::packageManager));
}

} // namespace
} // namespace vantorelle
