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
    fs::remove(link);
    fs::create_hard_link(secret, link);
    EXPECT_FALSE(RemoteChatStore::read(link)) << "a second link to a file is not a message";

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

TEST(RemoteChatStore, PlantedParentsAreRefusedAndLoggedOnce) {
    test::TempRoot root;
    const auto parent = RemoteChatStore::directory().parent_path(); // "/Users/Shared/Sekwo Tarnvik"
    const auto count = [&](std::string_view needle) {
        const auto log = root.read(ViewerLogger::logFile());
        std::size_t n = 0;
        for (auto at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
            ++n;
        }
        return n;
    };
    // A root-only directory holding a chat directory, reached through a link in place of the parent.
    const auto victim = root.path() / "victim";
    fs::create_directories(victim / "remote-chat");
    fs::permissions(victim / "remote-chat", fs::perms(0700));
    root.write(victim / "remote-chat" / "p.1.S.outgoing.json", "{}");
    fs::create_directories(parent.parent_path());
    fs::create_directory_symlink(victim, parent);
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty());
    EXPECT_TRUE(RemoteChatStore::outgoingMessageFiles().empty());
    RemoteChatStore::remove(RemoteChatStore::directory() / "p.1.S.outgoing.json");
    EXPECT_FALSE(RemoteChatStore::read(RemoteChatStore::directory() / "p.1.S.outgoing.json"));
    RemoteChatStore::saveIncoming("p", "x", "y");
    EXPECT_TRUE(fs::exists(victim / "remote-chat" / "p.1.S.outgoing.json"));
    EXPECT_EQ(fs::status(victim / "remote-chat").permissions() & fs::perms::all, fs::perms(0700));
    EXPECT_EQ(std::distance(fs::directory_iterator(victim / "remote-chat"), fs::directory_iterator{}), 1);
    EXPECT_EQ(count("is a symbolic link."), 2u) << "one refusal for the listings, one for the lost message";
    EXPECT_EQ(count("[ERROR] Remote chat directory read failed: "), 1u);

    // A parent another user made is refused as well; once mended, chat works again.
    fs::remove(parent);
    fs::create_directory(parent);
    ASSERT_EQ(::chown(parent.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(RemoteChatStore::incomingMessageFiles().empty());
    EXPECT_FALSE(fs::exists(RemoteChatStore::directory()));
    EXPECT_EQ(count("belongs to user 65534, not to root."), 1u);
    fs::remove(parent);
    RemoteChatStore::saveIncoming("p", "x", "y");
    EXPECT_EQ(RemoteChatStore::incomingMessageFiles().size(), 1u);
    EXPECT_EQ(fs::status(parent).permissions() & fs::perms::all, fs::perms(0755))
        << "created by root for root";
}

} // namespace
} // namespace kova
