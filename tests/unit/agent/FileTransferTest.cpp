#include "agent/FileTransfer.hpp"
#include "core/Base64.hpp"
#include "core/Errors.hpp"
#include "support/TempRoot.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kova {
namespace {

namespace fs = std::filesystem;

// The code of the transfer error `action` throws, or 0 when it throws none.
template <typename F> int transferErrorCode(F&& action, std::string* description = nullptr) {
    try {
        action();
    } catch (const DomainError& error) {
        EXPECT_EQ(error.domain(), "KovaViewerFileTransfer");
        if (description) {
            *description = error.description();
        }
        return error.code();
    }
    return 0;
}

std::vector<std::string> names(const Json& listing) {
    std::vector<std::string> out;
    for (const auto& item : listing["items"]) {
        out.push_back(item["name"]);
    }
    return out;
}

class FileTransferTest : public ::testing::Test {
protected:
    test::TempRoot root;
    fs::path dir = root.path() / "data";
};

TEST_F(FileTransferTest, ListingOrderLimitAndErrors) {
    root.write(dir / "zebra.txt", "12345");
    root.write(dir / "Łódź.txt", "");
    root.write(dir / "lampa.txt", "");
    root.write(dir / ".hidden", "");
    root.write(dir / "Alfa" / "x", "");
    fs::create_directory(dir / "beta");
    fs::create_symlink("zebra.txt", dir / "link");

    const auto listing = FileTransfer::listFiles(Json{{"path", " " + dir.string() + "/\n"}});
    EXPECT_EQ(names(listing), (std::vector<std::string>{"Alfa", "beta", ".hidden", "lampa.txt", "link",
                                                        "Łódź.txt", "zebra.txt"}));
    EXPECT_EQ(listing["path"], dir.string());
    EXPECT_EQ(listing["parent_path"], root.path().string());
    EXPECT_EQ(listing["item_count"], 7);
    EXPECT_EQ(listing["max_items"], 500);
    EXPECT_EQ(listing["platform"], "macos");
    const auto& folder = listing["items"][0];
    EXPECT_EQ(folder["kind"], "folder");
    EXPECT_EQ(folder["is_directory"], true);
    EXPECT_FALSE(folder.contains("size_bytes"));
    const auto& zebra = listing["items"][6];
    EXPECT_EQ(zebra["path"], (dir / "zebra.txt").string());
    EXPECT_EQ(zebra["kind"], "file");
    EXPECT_EQ(zebra["size_bytes"], 5);
    EXPECT_EQ(zebra["is_symlink"], false);
    EXPECT_TRUE(zebra["modified_at"].get<std::string>().ends_with("Z"));
    EXPECT_EQ(listing["items"][4]["is_symlink"], true);

    // The limit keeps the first entries of the whole order; 5 is raised to 10.
    for (int i = 0; i < 30; ++i) {
        root.write(dir / ("f" + std::to_string(100 + i)), "");
    }
    const auto limited = FileTransfer::listFiles(Json{{"path", dir.string()}, {"max_items", 5}});
    EXPECT_EQ(limited["item_count"], 10);
    EXPECT_EQ(limited["max_items"], 10);
    EXPECT_EQ(names(limited)[2], ".hidden");
    EXPECT_EQ(names(limited)[9], "f106");

    EXPECT_EQ(FileTransfer::listFiles(Json{{"path", "/"}, {"max_items", 10}})["parent_path"], nullptr);
    std::string description;
    EXPECT_EQ(transferErrorCode(
                  [&] {
                      FileTransfer::listFiles(Json{{"path", (dir / "zebra.txt").string()}});
                  },
                  &description),
              404);
    EXPECT_EQ(description, "Directory not found: " + (dir / "zebra.txt").string());
    EXPECT_EQ(transferErrorCode([&] {
                  FileTransfer::listFiles(Json{{"path", (dir / "none").string()}});
              }),
              404);
}

TEST_F(FileTransferTest, RootListing) {
    fs::create_directories(root / "/Users");
    fs::create_directories(root / "/Volumes/Dane");
    fs::create_directories(root / "/Volumes/.Spotlight");
    fs::create_symlink(root.path(), root / "/Volumes/Macintosh HD");
    root.write(root / "/tmp", "not a directory");

    for (const auto& path : {Json(""), Json(" VOLUMES "), Json("Drives"), Json("roots")}) {
        const auto listing = FileTransfer::listFiles(Json{{"path", path}});
        EXPECT_EQ(listing["root_kind"], "volumes");
        EXPECT_EQ(listing["path"], "");
        EXPECT_EQ(listing["parent_path"], nullptr);
        EXPECT_EQ(names(listing), (std::vector<std::string>{"Macintosh HD", "Uzytkownicy", "Woluminy",
                                                            "Tymczasowe", "Dane"}));
    }
    const auto listing = FileTransfer::listFileRoots(500);
    EXPECT_EQ(listing["items"][0], (Json{{"name", "Macintosh HD"},
                                         {"path", "/"},
                                         {"kind", "drive"},
                                         {"label", "System"},
                                         {"is_directory", true},
                                         {"is_ready", true}}));
    EXPECT_EQ(listing["items"][3]["is_directory"], false);
    const auto& volume = listing["items"][4];
    EXPECT_EQ(volume["path"], "/Volumes/Dane");
    EXPECT_EQ(volume["kind"], "drive");
    EXPECT_EQ(volume["label"], "Wolumin");
    EXPECT_GT(volume["size_bytes"].get<std::int64_t>(), 0);
    EXPECT_GE(volume["free_bytes"].get<std::int64_t>(), 0);
    EXPECT_EQ(FileTransfer::listFileRoots(2)["item_count"], 2);
}

TEST_F(FileTransferTest, DownloadChecksTheSizeBeforeReading) {
    root.write(dir / "exact.bin", std::string(1024, 'x'));
    root.write(dir / "over.bin", std::string(1025, 'x'));
    const auto result =
        FileTransfer::downloadFile(Json{{"path", (dir / "exact.bin").string()}, {"max_bytes", 100}});
    EXPECT_EQ(result["size_bytes"], 1024);
    EXPECT_EQ(result["file_name"], "exact.bin");
    EXPECT_EQ(result["path"], (dir / "exact.bin").string());
    EXPECT_EQ(result["content_base64"], base64Encoded(std::string(1024, 'x')));
    EXPECT_FALSE(result.contains("platform"));

    std::string description;
    EXPECT_EQ(transferErrorCode(
                  [&] {
                      FileTransfer::downloadFile(
                          Json{{"path", (dir / "over.bin").string()}, {"max_bytes", "1024"}});
                  },
                  &description),
              413);
    EXPECT_EQ(description, "File is too large: 1025 bytes, limit 1024 bytes.");

    // A sparse 2 GiB file: refused from its size alone.
    const auto sparse = dir / "sparse.bin";
    root.write(sparse, "");
    ASSERT_EQ(::truncate(sparse.c_str(), 2LL << 30), 0);
    EXPECT_EQ(transferErrorCode(
                  [&] {
                      FileTransfer::downloadFile(Json{{"path", sparse.string()}, {"max_bytes", 26214400}});
                  },
                  &description),
              413);
    EXPECT_EQ(description, "File is too large: 2147483648 bytes, limit 26214400 bytes.");

    EXPECT_EQ(transferErrorCode([] { FileTransfer::downloadFile(Json{{"path", " \n"}}); }), 400);
    EXPECT_EQ(transferErrorCode([] { FileTransfer::downloadFile(Json{{"path", 5}}); }), 400);
    EXPECT_THROW(FileTransfer::downloadFile(Json{{"path", (dir / "none").string()}}), std::system_error);
    EXPECT_THROW(FileTransfer::downloadFile(Json{{"path", dir.string()}}), std::system_error);
    // A device that never ends is cut at the limit.
    EXPECT_EQ(transferErrorCode([] { FileTransfer::downloadFile(Json{{"path", "/dev/zero"}}); }), 413);
}

TEST_F(FileTransferTest, UploadReplacesAtomicallyOrLeavesTheTargetAlone) {
    const auto target = dir / "a" / "b" / "note.txt";
    const auto upload = [&](Json extra) {
        Json payload = {{"target_path", target.string()}, {"content_base64", base64Encoded("zażółć")}};
        payload.update(extra);
        return FileTransfer::uploadFile(payload);
    };
    auto result = upload(Json::object());
    EXPECT_EQ(root.read(target), "zażółć");
    EXPECT_EQ(result["target_path"], target.string());
    EXPECT_EQ(result["size_bytes"], 10);

    std::string description;
    EXPECT_EQ(transferErrorCode([&] { upload(Json{{"content_base64", "bmV3"}}); }, &description), 409);
    EXPECT_EQ(description, "File already exists: " + target.string());
    EXPECT_EQ(root.read(target), "zażółć");
    upload(Json{{"content_base64", "bmV3"}, {"overwrite", "Yes"}});
    EXPECT_EQ(root.read(target), "new");

    for (const auto& bad : {Json("bmV3\n"), Json("bmV"), Json("b=V3"), Json("bm V3"), Json(5)}) {
        EXPECT_EQ(transferErrorCode([&] {
                      upload(Json{{"content_base64", bad}, {"overwrite", true}});
                  }),
                  400)
            << bad;
    }
    EXPECT_EQ(transferErrorCode([&] {
                  FileTransfer::uploadFile(Json{{"target_path", "  "}, {"content_base64", ""}});
              }),
              400);
    EXPECT_EQ(root.read(target), "new");

    const auto missing = dir / "missing" / "x.txt";
    EXPECT_THROW(
        FileTransfer::uploadFile(
            Json{{"target_path", missing.string()}, {"content_base64", ""}, {"create_directories", "off"}}),
        std::system_error);
    EXPECT_FALSE(fs::exists(missing.parent_path()));

    // A dangling link at the target counts as an existing file and is not followed.
    fs::create_symlink(dir / "elsewhere", dir / "link");
    EXPECT_EQ(
        transferErrorCode([&] {
            FileTransfer::uploadFile(Json{{"target_path", (dir / "link").string()}, {"content_base64", ""}});
        }),
        409);
    EXPECT_FALSE(fs::exists(dir / "elsewhere"));

    // Nothing but the targets is left behind.
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"a", "b", "link", "note.txt"}));
}

// Root writes and reads for the consultant: a link another user owns on the
// way could point that anywhere (a user's "Documents" turned into a link to
// a system folder), so only root's own links are followed.
TEST_F(FileTransferTest, OnlyRootsLinksAreFollowed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a link to another user";
    }
    const auto system = root.path() / "system";
    root.write(system / "secret", "root only");
    fs::create_directories(dir);
    const auto userLink = [&](const fs::path& target, const fs::path& link) {
        fs::create_symlink(target, link);
        ASSERT_EQ(::lchown(link.c_str(), 501, 20), 0);
    };
    userLink(system, dir / "Documents");
    userLink(system / "secret", dir / "report.txt");
    const auto refused = [&](auto action) {
        std::string description;
        EXPECT_EQ(transferErrorCode(action, &description), 403);
        return description;
    };
    EXPECT_EQ(refused([&] {
                  FileTransfer::uploadFile(
                      Json{{"target_path", (dir / "Documents" / "new" / "x.plist").string()},
                           {"content_base64", base64Encoded("evil")}});
              }),
              "Path leads through a symbolic link that belongs to user 501, not to root: " +
                  (dir / "Documents").string());
    refused([&] {
        FileTransfer::uploadFile(Json{{"target_path", (dir / "Documents" / "secret").string()},
                                      {"content_base64", base64Encoded("evil")},
                                      {"overwrite", true}});
    });
    refused([&] { FileTransfer::downloadFile(Json{{"path", (dir / "Documents" / "secret").string()}}); });
    refused([&] { FileTransfer::downloadFile(Json{{"path", (dir / "report.txt").string()}}); });
    EXPECT_EQ(root.read(system / "secret"), "root only");
    EXPECT_EQ(std::distance(fs::directory_iterator(system), fs::directory_iterator()), 1)
        << "nothing written";

    // Root's own links (as macOS's "/tmp" -> "private/tmp") keep working.
    fs::create_directory_symlink("system", root.path() / "tmp");
    FileTransfer::uploadFile(
        Json{{"target_path", (root.path() / "tmp" / "a" / "new.txt").string()}, {"content_base64", "eA=="}});
    EXPECT_EQ(root.read(system / "a" / "new.txt"), "x");
    fs::create_symlink(root.path() / "tmp" / "secret", dir / "root-link");
    EXPECT_EQ(FileTransfer::downloadFile(Json{{"path", (dir / "root-link").string()}})["content_base64"],
              base64Encoded("root only"));
}

} // namespace
} // namespace kova
