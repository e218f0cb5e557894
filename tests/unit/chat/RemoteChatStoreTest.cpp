#include "chat/RemoteChatStore.hpp"
#include "core/Paths.hpp"
#include "core/ViewerLogger.hpp"
#include "support/TempRoot.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace kova {
namespace {

namespace fs = std::filesystem;

TEST(RemoteChatStore, FileNamesAndContent) {
    test::TempRoot root;
    EXPECT_TRUE(RemoteChatStore::incomingMessageFiles().empty());
    struct stat st {};
    ASSERT_EQ(::stat(RemoteChatStore::directory().c_str(), &st), 0) << "listing creates the directory";
    EXPECT_EQ(st.st_mode & 0777, 0777u);

    RemoteChatStore::saveIncoming("a/b:c", "   ", "Dzień dobry");
    RemoteChatStore::saveIncoming("a/b:c", "Ewa", "second");
    const auto files = RemoteChatStore::incomingMessageFiles();
    ASSERT_EQ(files.size(), 2u) << "two messages in one millisecond are both kept";
    const std::regex name(R"(a_b_c\.\d{13}\.[0-9A-F]{32}\.incoming\.json)");
    EXPECT_TRUE(std::regex_match(files[0].filename().string(), name)) << files[0];
    const auto first = RemoteChatStore::read(files[0]);
    const auto second = RemoteChatStore::read(files[1]);
    ASSERT_TRUE(first && second);
    // Sorted by name: same millisecond falls back to the id, so look at both.
    EXPECT_TRUE((first->sender == "Konsultant") != (second->sender == "Konsultant"));
    const auto text = root.read(files[0]);
    EXPECT_LT(text.find("\"createdAt\""), text.find("\"direction\""));
    EXPECT_LT(text.find("\"sender\""), text.find("\"text\""));
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty());
    EXPECT_EQ(RemoteChatStore::safePublicId("x\\?%*|\"<>y"), "x________y");
}

TEST(RemoteChatStore, OutgoingCopyAndReadFailures) {
    test::TempRoot root;
    RemoteChatMessage m{"ID1", "pub", "incoming", "Jan", "hej", *parseIso8601("2026-03-01T14:05:09Z")};
    RemoteChatStore::saveOutgoing(m);
    const auto files = RemoteChatStore::outgoingMessageFiles();
    ASSERT_EQ(files.size(), 1u);
    auto read = RemoteChatStore::read(files[0]);
    ASSERT_TRUE(read);
    m.direction = "outgoing";
    EXPECT_EQ(*read, m);

    RemoteChatStore::remove(files[0]);
    RemoteChatStore::remove(files[0]); // already gone: ignored
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty());
    root.write(RemoteChatStore::directory() / "p.1.A.outgoing.json", R"({"id":"A"})");
    EXPECT_FALSE(RemoteChatStore::read(RemoteChatStore::directory() / "p.1.A.outgoing.json"));
    EXPECT_FALSE(RemoteChatStore::read(RemoteChatStore::directory() / "missing.outgoing.json"));
}

TEST(RemoteChatStore, LinksPlantedByOtherUsersAreRefused) {
    test::TempRoot root;
    // A readable secret outside the directory, reached through a planted link.
    const auto secret = root.path() / "secret.json";
    root.write(secret, R"({"id":"S","publicId":"p","direction":"outgoing","sender":"x","text":"root only",
                          "createdAt":"2026-03-01T14:05:09Z"})");
    RemoteChatStore::outgoingMessageFiles();
    const auto link = RemoteChatStore::directory() / "p.1.S.outgoing.json";
    fs::create_symlink(secret, link);
    EXPECT_FALSE(RemoteChatStore::read(link));

    // A directory link in place of the chat directory is not made world-writable.
    const auto victim = root.path() / "victim";
    fs::create_directories(victim);
    fs::permissions(victim, fs::perms(0755));
    fs::remove_all(RemoteChatStore::directory());
    fs::create_directory_symlink(victim, RemoteChatStore::directory());
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty());
    EXPECT_EQ(fs::status(victim).permissions() & fs::perms::all, fs::perms(0755));
    RemoteChatStore::saveIncoming("p", "x", "y");
    EXPECT_TRUE(fs::is_empty(victim));
    EXPECT_NE(root.read(ViewerLogger::logFile()).find("[ERROR] Remote chat message save failed: "),
              std::string::npos);
}

} // namespace
} // namespace kova
