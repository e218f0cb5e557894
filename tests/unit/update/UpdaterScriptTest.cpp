#include "update/UpdaterScript.hpp"

#include "core/ShellQuote.hpp"
#include "support/TempRoot.hpp"
#include "update/ViewerUpdateCoordinator.hpp"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kova {
namespace {

namespace fs = std::filesystem;

// A value that tries every way out of a shell word.
const std::string hostile = "1'2\"3 $(touch /tmp/pwned) `id` \\ $HOME ;|&\n*?[a] '\"'\"' \t end";

UpdaterScriptInputs inputs(const fs::path& dir, const std::string& value) {
    UpdaterScriptInputs in;
    in.updatesDirectory = (dir / ("updates " + value)).string();
    in.runtimeDirectory = (dir / ("runtime " + value)).string();
    in.statusPath = in.runtimeDirectory + "/update-status.json";
    in.scriptPath = in.runtimeDirectory + "/sekwo-updater.sh";
    in.jobPropertyListPath = in.runtimeDirectory + "/pl.tarnvik.sekwo.updater.plist";
    in.packagePath = in.updatesDirectory + "/Sekwo-Tarnvik-macOS-" + value + ".pkg";
    in.updateLogPath = (dir / ("log " + value)).string();
    in.packageUrl = "https://h/" + value + ".pkg";
    in.sha256 = value;
    in.sizeBytes = 1234;
    in.scriptCurrentVersion = value + "c";
    in.manifestVersion = value;
    in.safeVersion = value + "s";
    in.ownVersion = value + "o";
    in.reason = value + "r";
    return in;
}

// Runs bash on `text` and returns its standard output; -1 exit for a crash.
std::pair<int, std::string> runBash(const fs::path& dir, const std::string& text,
                                    const std::string& shell = "bash") {
    const auto script = dir / "script.sh";
    const auto out = dir / "out.txt";
    {
        std::FILE* f = std::fopen(script.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    const auto command =
        shell + " " + shellQuoted(script.string()) + " >" + shellQuoted(out.string()) + " 2>&1";
    const int status = std::system(command.c_str());
    std::string output;
    if (std::FILE* f = std::fopen(out.c_str(), "rb")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            output.append(buffer, n);
        std::fclose(f);
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string head(const std::string& script) {
    // Variables and functions, without the error handler and main sequence.
    return script.substr(0, script.find("\non_update_error() {"));
}

TEST(ShellQuote, EveryByteSurvivesOneWord) {
    EXPECT_EQ(shellQuoted(""), "''");
    EXPECT_EQ(shellQuoted("a'b"), "'a'\\''b'");
    test::TempRoot root;
    const auto [code, output] = runBash(root.path(), "printf '%s|' " + shellQuoted(hostile) + " x\n");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(output, hostile + "|x|");
    EXPECT_FALSE(fs::exists("/tmp/pwned"));
}

TEST(UpdaterScript, HostileValuesParseLintAndComeThroughIntact) {
    test::TempRoot root;
    const auto in = inputs(root.path(), hostile);
    const auto script = updaterScript(in);
    EXPECT_TRUE(script.starts_with("#!/bin/bash\nset -e\n\nUPDATE_DIR='"));
    EXPECT_NE(script.find("\nEXPECTED_SIZE=1234\n"), std::string::npos);
    EXPECT_EQ(runBash(root.path(), script, "bash -n").first, 0)
        << runBash(root.path(), script, "bash -n").second;
    // Every finding counts except SC2016, which only notes that "$(...)" in a
    // single-quoted value stays literal: exactly what the quoting is for.
    const auto lint = runBash(root.path(), script, "shellcheck -s bash -e SC2016");
    EXPECT_EQ(lint.first, 0) << lint.second;
    const auto restore = restoreScript(
        {in.runtimeDirectory, in.statusPath, in.scriptPath, in.jobPropertyListPath, in.updateLogPath,
         (root.path() / ("backup " + hostile)).string(), hostile + "c", hostile});
    const auto restoreLint = runBash(root.path(), restore, "shellcheck -s bash -e SC2016");
    EXPECT_EQ(restoreLint.first, 0) << restoreLint.second;

    const auto [code, output] =
        runBash(root.path(), head(script) +
                                 "printf '%s\\n' \"$PKG_URL\" \"$AVAILABLE_VERSION_RAW\" \"$BACKUP_VERSION\" "
                                 "\"$AVAILABLE_VERSION_JSON\" \"$CURRENT_VERSION_JSON\" \"$BACKUP_DIR\"\n");
    ASSERT_EQ(code, 0) << output;
    const auto json = [](const std::string& text) { return parseJson(text, "literal").get<std::string>(); };
    // The values hold newlines themselves: the output is split at the known ends.
    EXPECT_TRUE(output.starts_with("https://h/" + hostile + ".pkg\n" + hostile + "\n" + hostile + "s\n"))
        << output;
    const auto rest =
        output.substr(("https://h/" + hostile + ".pkg\n" + hostile + "\n" + hostile + "s\n").size());
    const auto firstJsonEnd = rest.find('\n');
    EXPECT_EQ(json(rest.substr(0, firstJsonEnd)), hostile);
    const auto secondJsonEnd = rest.find('\n', firstJsonEnd + 1);
    EXPECT_EQ(json(rest.substr(firstJsonEnd + 1, secondJsonEnd - firstJsonEnd - 1)), hostile + "c");
    EXPECT_NE(rest.find("/update-backups/" + hostile + "s-2"), std::string::npos)
        << "backup dir with a 14-digit stamp";
    EXPECT_FALSE(fs::exists("/tmp/pwned"));
}

TEST(UpdaterScript, StatusWritesAreValidAndNeverFollowPlantedLinks) {
    test::TempRoot root;
    auto in = inputs(root.path(), hostile);
    fs::create_directories(in.runtimeDirectory);
    const auto victim = root.path() / "victim";
    root.write(victim, "precious");
    fs::create_symlink(victim, in.statusPath);
    const auto script = updaterScript(in);
    const auto [code, output] =
        runBash(root.path(), head(script) + "write_status downloading \"$DOWNLOADING_MESSAGE_JSON\"\n");
    ASSERT_EQ(code, 0) << output;
    EXPECT_EQ(root.read(victim), "precious");
    EXPECT_FALSE(fs::is_symlink(in.statusPath));
    struct stat st {};
    ASSERT_EQ(::stat(in.statusPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_EQ(::stat(in.runtimeDirectory.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u);
    const auto text = root.read(in.statusPath);
    const auto status = ViewerUpdateStatus::decode(text);
    EXPECT_EQ(status.phase, "downloading");
    EXPECT_EQ(status.message, "Pobieram aktualizację do wersji " + hostile + "...");
    EXPECT_EQ(status.currentVersion, hostile + "c");
    EXPECT_EQ(status.availableVersion, hostile);
    EXPECT_EQ(status.logPath, in.updateLogPath);
    EXPECT_LE(nowSeconds() - status.updatedAt, std::chrono::seconds(5));
    EXPECT_TRUE(text.starts_with("{\n  \"phase\": \"downloading\",\n  \"message\": ")) << text;
    for (const auto& entry : fs::directory_iterator(in.runtimeDirectory)) {
        EXPECT_EQ(entry.path().filename().string().find(".update-status."), std::string::npos)
            << "no temp left";
    }
}

} // namespace
} // namespace kova
