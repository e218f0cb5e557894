#include "core/Files.hpp"
#include "core/ShellQuote.hpp"
#include "menubar/app/MenuBarEntry.hpp"
#include "menubar/platform/AdministratorPrompt.hpp"
#include "menubar/rustdesk/RustDeskProtocolLauncher.hpp"
#include "menubar/settings/AdministratorCommand.hpp"
#include "support/FakeProcessRunner.hpp"
#include "support/TempRoot.hpp"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

#include <sys/stat.h>
#include <unistd.h>

using namespace kova;
using namespace kova::menubar;

namespace {

struct ShellRun {
    int status;
    QString output;
};

ShellRun runShell(const std::string& command) {
    QProcess shell;
    shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromStdString(command)});
    shell.waitForFinished();
    return {shell.exitCode(), QString::fromUtf8(shell.readAllStandardOutput())};
}

const AdministratorTools macTools{"/bin/mkdir", "/bin/cp", "/usr/sbin/chown", "/bin/chmod",
                                  "/bin/mv",    "/bin/rm", "/bin/launchctl",  "wheel"};

// This system's tools, each run for real but the listed ones: those write
// their name to `log` and end as told.
AdministratorTools
toolsWith(const std::filesystem::path& log,
          std::initializer_list<std::pair<std::string AdministratorTools::*, bool>> faked) {
    const AdministratorTools real = desktop::administratorTools();
    AdministratorTools tools = real;
    for (const auto& [tool, succeeds] : faked) {
        tools.*tool = "/bin/sh -c 'echo " + real.*tool + " >> \"$0\"; exit " + (succeeds ? "0" : "1") + "' " +
                      shellQuoted(log.string());
    }
    return tools;
}

// Reads an AppleScript string literal's inside back: \\ and \" are the only escapes.
std::string appleScriptUnescaped(const std::string& inside, bool& wellFormed) {
    std::string text;
    wellFormed = true;
    for (std::size_t i = 0; i < inside.size(); ++i) {
        if (inside[i] == '"') {
            wellFormed = false;
        } else if (inside[i] == '\\' && i + 1 < inside.size()) {
            text.push_back(inside[++i]);
            continue;
        }
        text.push_back(inside[i]);
    }
    return text;
}

void makeExecutable(const std::filesystem::path& path) {
    std::filesystem::create_directories(path.parent_path());
    FILE* file = std::fopen(path.c_str(), "w");
    std::fclose(file);
    ::chmod(path.c_str(), 0755);
}

} // namespace

class SettingsRulesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void installCommandReplacesTheFileWholeOrNotAtAll() {
        // The Mac's text, word for word.
        const std::filesystem::path directory = "/Library/Application Support/Sekwo Tarnvik";
        const std::filesystem::path temporary = "/var/folders/T/sekwo-settings-AB12.json";
        const std::filesystem::path target = directory / "sekwo.settings.json";
        QCOMPARE(AdministratorCommand::settingsStagingPath(temporary, target),
                 directory / ".sekwo-settings-AB12.json");
        const std::string staged = "'/Library/Application Support/Sekwo Tarnvik/.sekwo-settings-AB12.json'";
        QCOMPARE(
            AdministratorCommand::settingsInstallCommand(macTools, directory, temporary, target),
            "/bin/mkdir -p '/Library/Application Support/Sekwo Tarnvik' && { /bin/cp "
            "'/var/folders/T/sekwo-settings-AB12.json' " +
                staged + " && /usr/sbin/chown root:wheel " + staged + " && /bin/chmod 644 " + staged +
                " && /bin/mv -f " + staged +
                " '/Library/Application Support/Sekwo Tarnvik/sekwo.settings.json' || { /bin/rm -f " +
                staged +
                "; false; }; } && { /bin/launchctl kickstart -k system/pl.tarnvik.sekwo.daemon >/dev/null "
                "2>&1 || true; }");

        // Here: the system's own chown and the root group.
        const auto here = desktop::administratorTools();
        QVERIFY(here.changeOwner == "/usr/bin/chown" || here.changeOwner == "/bin/chown");
        QVERIFY(::access(here.changeOwner.c_str(), X_OK) == 0);
        QCOMPARE(here.administratorsGroup, std::string("root"));

        // Run for real (the owner step faked: this test is no root), with
        // paths a shell would misread if they were not quoted.
        QTemporaryDir work;
        const std::filesystem::path base = work.path().toStdString();
        const auto folder = base / ("It's \"ours\" $(touch " + (base / "x").string() + ")");
        const auto source = base / "a\"b\\c `id`" / "sekwo-settings-1.json";
        const auto settings = folder / "it's.json";
        std::filesystem::create_directories(source.parent_path());
        files::writeFileAtomically(source, "new", 0600);
        const auto install = [&](const AdministratorTools& tools) {
            return runShell(AdministratorCommand::settingsInstallCommand(tools, folder, source, settings));
        };
        using T = AdministratorTools;
        const auto log = base / "steps.log";
        const auto restarted = [&] {
            return files::readFileIfPresent(log).value_or("").find(here.launchctl) != std::string::npos;
        };
        auto run = install(toolsWith(log, {{&T::changeOwner, true}, {&T::launchctl, false}}));
        QCOMPARE(run.status, 0); // a failed restart does not fail the save
        QVERIFY(restarted());
        QCOMPARE(files::readFile(settings), std::string("new"));
        QCOMPARE(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
                 std::filesystem::perms(0644));

        // A failed owner, mode or rename step: the old file stays whole, the
        // staged copy goes, the daemon is not restarted.
        for (auto failing : {&T::changeOwner, &T::changeMode, &T::move}) {
            std::filesystem::remove(log);
            files::writeFileAtomically(settings, "old", 0640);
            run = install(toolsWith(log, {{&T::changeOwner, true}, {failing, false}, {&T::launchctl, true}}));
            QVERIFY(run.status != 0);
            QVERIFY(!restarted());
            QCOMPARE(files::readFile(settings), std::string("old"));
            QCOMPARE(std::filesystem::status(settings).permissions() & std::filesystem::perms::all,
                     std::filesystem::perms(0640));
            QCOMPARE(std::distance(std::filesystem::directory_iterator(folder), {}), 1);
        }
        QVERIFY(!std::filesystem::exists(base / "x"));

        // The AppleScript literal holds the chain exactly, with no bare quote.
        const auto chain = AdministratorCommand::settingsInstallCommand(macTools, folder, source, settings);
        const auto script = administratorAppleScript(chain);
        const std::string head = "do shell script \"";
        const std::string tail = "\" with administrator privileges";
        QVERIFY(script.starts_with(head) && script.ends_with(tail));
        bool wellFormed = false;
        QCOMPARE(appleScriptUnescaped(script.substr(head.size(), script.size() - head.size() - tail.size()),
                                      wellFormed),
                 chain);
        QVERIFY(wellFormed);
        QCOMPARE(appleScriptStringEscaped("a\\\"b"), std::string("a\\\\\\\"b"));

        const auto name = AdministratorCommand::settingsTemporaryPath("/tmp/x").filename().string();
        QVERIFY(name.starts_with("sekwo-settings-") && name.ends_with(".json"));
        const QString uuid = QString::fromStdString(name.substr(15, name.size() - 20));
        QVERIFY(!QUuid::fromString(uuid).isNull());
        QCOMPARE(uuid.toUpper(), uuid);
    }

    void rustDeskLinksAreParsedByTheirRules() {
        const RustDeskProtocolLauncher launcher(QStringLiteral("kovadesk-rustdesk"),
                                                std::make_shared<test::FakeProcessRunner>(), {});
        const auto parse = [&launcher](const char* link) {
            return launcher.parse(QUrl(QString::fromUtf8(link)));
        };
        const auto failure = [&parse](const char* link) -> std::optional<RustDeskLaunchError> {
            try {
                parse(link);
            } catch (const RustDeskLaunchFailure& error) {
                return error.error();
            }
            return std::nullopt;
        };
        const auto request = parse(
            "KOVADESK-RUSTDESK://connect?ID=%20abc-1_2%20&server=rd.example.org:21116&relay=relay.example.org"
            "&key=k%2Bey%3D&consultant_name=Anna%20Nowak&remote_id=ignored");
        QCOMPARE(request,
                 (RustDeskLaunchRequest{QStringLiteral("abc-1_2"), QStringLiteral("rd.example.org:21116"),
                                        QStringLiteral("relay.example.org"), QStringLiteral("k+ey="),
                                        QStringLiteral("Anna Nowak")}));
        QCOMPARE(parse("kovadesk-rustdesk://c?remote_id=xyz&server=a&relay=b").remoteID,
                 QStringLiteral("xyz"));

        using E = RustDeskLaunchError;
        const std::pair<const char*, std::optional<E>> rows[] = {
            {"https://c?id=abc&server=a&relay=b", E::invalidLink},
            {"kovadesk-rustdesk://c?id=ab&server=a&relay=b", E::invalidRemoteID},
            {"kovadesk-rustdesk://c?id=a%20bc&server=a&relay=b", E::invalidRemoteID},
            {"kovadesk-rustdesk://c?id=a.bc&server=a&relay=b", E::invalidRemoteID},
            {"kovadesk-rustdesk://c?server=a&relay=b", E::invalidRemoteID},
            {"kovadesk-rustdesk://c?id=abc&relay=b", E::invalidServer},
            {"kovadesk-rustdesk://c?id=abc&server=a", E::invalidServer},
            {"kovadesk-rustdesk://c?id=abc&server=a/b&relay=b", E::invalidServer},
            {"kovadesk-rustdesk://c?id=abc&server=a:211160&relay=b", E::invalidServer},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=x%0Ay", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&consultant_name=A%07", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&ID=def", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=", std::nullopt},
            // No value may reach RustDesk as an option of its own.
            {"kovadesk-rustdesk://connect?id=--password&server=--config&relay=r.example", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=--uninstall-service", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=-b", E::invalidLink},
            {"kovadesk-rustdesk://c?remote_id=%20-abc&server=a&relay=b", E::invalidLink},
            {"kovadesk-rustdesk://c?id=abc&server=a&relay=b&consultant_name=-x", E::invalidLink},
            {"kovadesk-rustdesk://c?id=a-bc&server=a-1.example&relay=b&key=k-", std::nullopt},
        };
        for (const auto& [link, expected] : rows) {
            QVERIFY2(failure(link) == expected, link);
        }
        const std::string longKey =
            "kovadesk-rustdesk://c?id=abc&server=a&relay=b&key=" + std::string(1025, 'k');
        QVERIFY(failure(longKey.c_str()) == E::invalidLink);
        QVERIFY(!failure(longKey.substr(0, longKey.size() - 1).c_str()));
        const std::string longName =
            "kovadesk-rustdesk://c?id=abc&server=a&relay=b&consultant_name=" + std::string(129, 'n');
        QVERIFY(failure(longName.c_str()) == E::invalidLink);

        QCOMPARE(entry::linkArguments({"/app", "--menubar", "KovaDesk-RustDesk://c?id=abc", "https://x"},
                                      rustDeskScheme),
                 (QList<QUrl>{QUrl(QStringLiteral("KovaDesk-RustDesk://c?id=abc"))}));
    }

    void rustDeskRunsWithItsArgumentsInOrder() {
        test::TempRoot root;
        auto runner = std::make_shared<test::FakeProcessRunner>();
        std::optional<QString> bundle;
        const RustDeskProtocolLauncher launcher(QStringLiteral("kovadesk-rustdesk"), runner,
                                                [&bundle](const QString&) { return bundle; });
        const auto errorOf = [](const auto& run) -> std::optional<RustDeskLaunchError> {
            try {
                run();
            } catch (const RustDeskLaunchFailure& error) {
                return error.error();
            }
            return std::nullopt;
        };
        RustDeskLaunchRequest request{
            QStringLiteral("abc"), QStringLiteral("s:1"), QStringLiteral("r"), {}, {}};
        QVERIFY(errorOf([&] { launcher.connect(request); }) == RustDeskLaunchError::notInstalled);

        // Found through the bundle identifier when the primary location is empty.
        const auto elsewhere = root.path() / "Elsewhere/RustDesk.app";
        makeExecutable(elsewhere / "Contents/MacOS/RustDesk");
        bundle = QString::fromStdString(elsewhere.string());
        runner->addAny((elsewhere / "Contents/MacOS/RustDesk").string(), "", 0);
        launcher.setConsultantDisplayName({});
        QVERIFY(runner->calls().empty());
        launcher.setConsultantDisplayName(QStringLiteral("Anna"));
        launcher.connect(request);
        request.key = QStringLiteral("pub");
        launcher.connect(request);

        const auto primary = rustDeskPrimaryExecutable();
        makeExecutable(primary);
        runner->addAny(primary.string(), "", 3);
        QVERIFY(errorOf([&] { launcher.connect(request); }) == RustDeskLaunchError::launchFailed);

        const auto calls = runner->calls();
        QCOMPARE(calls.size(), std::size_t(4));
        QCOMPARE(calls[0].arguments, (std::vector<std::string>{"--option", "display-name", "Anna"}));
        QCOMPARE(calls[1].arguments, (std::vector<std::string>{"--server", "s:1", "--relay", "r", "abc"}));
        QCOMPARE(calls[2].arguments,
                 (std::vector<std::string>{"--server", "s:1", "--relay", "r", "--key", "pub", "abc"}));
        QCOMPARE(calls[3].executable, primary.string());
        // Its output is never read: the null device, never a pipe it could break on.
        for (const auto& call : calls) {
            QVERIFY(call.discardOutput);
        }
    }
};

QTEST_GUILESS_MAIN(SettingsRulesTest)
#include "SettingsRulesTest.moc"
