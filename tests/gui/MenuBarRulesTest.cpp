#include "menubar/app/MenuBarRules.hpp"
#include "menubar/app/ApplicationInstanceLock.hpp"
#include "menubar/app/MenuBarEntry.hpp"
#include "menubar/status/StatusWindowRules.hpp"
#include "menubar/ui/ViewerLocalization.hpp"
#include "menubar/ui/ViewerTheme.hpp"
#include "menubar/update/UpdateWindowRules.hpp"
#include "support/TempRoot.hpp"

#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kova;
using namespace kova::menubar;

namespace {

// Fixed machine facts: only the host names matter to the status grid.
class Facts : public platform::SystemFacts {
public:
    std::optional<std::string> localized;
    std::optional<std::string> localizedHostName() const override { return localized; }
    std::string processHostName() const override { return "host-from-process"; }
    std::optional<std::string> consoleUser() const override { return std::nullopt; }
    std::optional<uid_t> consoleUserId() const override { return std::nullopt; }
    std::string processUserName() const override { return "anna"; }
    std::optional<std::filesystem::path> processHomeDirectory() const override { return std::nullopt; }
    platform::OperatingSystemVersion operatingSystemVersion() const override { return {}; }
    std::string operatingSystemVersionString() const override { return {}; }
    std::int64_t processorCount() const override { return 1; }
    std::int64_t activeProcessorCount() const override { return 1; }
    std::uint64_t physicalMemoryBytes() const override { return 0; }
    double systemUptimeSeconds() const override { return 0; }
    std::vector<double> loadAverages() const override { return {}; }
    std::optional<std::string> sysctlString(std::string_view) const override { return std::nullopt; }
    std::optional<std::vector<platform::MountedVolume>> mountedVolumes() const override {
        return std::nullopt;
    }
    std::optional<std::vector<platform::InterfaceAddress>> interfaceAddresses() const override {
        return std::nullopt;
    }
};

ViewerSettings settingsWithToken(const std::string& token) {
    auto settings = ViewerSettings::defaults();
    settings.viewerToken = token;
    return settings;
}

} // namespace

// The shell's decisions, checked without any window.
class MenuBarRulesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void statusMenuItemsInOrder() {
        const QStringList expected{QStringLiteral("Sekwo Tarnvik: aktywna"),
                                   QString(),
                                   QStringLiteral("Pokaż status"),
                                   QStringLiteral("Nowe zgłoszenie"),
                                   QStringLiteral("Otwórz panel klienta"),
                                   QStringLiteral("Wyślij audyt teraz"),
                                   QStringLiteral("Sprawdź aktualizacje"),
                                   QStringLiteral("Sprawdź czat"),
                                   QStringLiteral("Otwórz log"),
                                   QStringLiteral("Otwórz konfigurację"),
                                   QStringLiteral("Pełny ekran"),
                                   QString(),
                                   QStringLiteral("Zakończ ikonę")};
        const auto items = statusMenuItems(ViewerState{});
        QStringList titles;
        for (const auto& item : items) {
            titles << (item.separator ? QString() : item.title);
        }
        QCOMPARE(titles, expected);
        QVERIFY(!items[0].enabled);
        QCOMPARE(items[0].action, MenuAction::none);
        QVERIFY(items[1].separator && items[11].separator);
        QCOMPARE(items[5].action, MenuAction::sendAuditNow);
        QCOMPARE(items[9].shortcut, QKeySequence(Qt::CTRL | Qt::Key_Comma));
        QCOMPARE(items[10].shortcut, QKeySequence(Qt::META | Qt::CTRL | Qt::Key_F));
        QCOMPARE(items[12].action, MenuAction::quit);

        ViewerState state;
        state.connectionMessage = "Token firmy jest nieprawidłowy.";
        QCOMPARE(statusMenuItems(state).front().title, QStringLiteral("Token firmy jest nieprawidłowy."));
    }

    void timerPeriods() {
        std::map<MenuBarTimer, qint64> periods;
        for (const auto& [timer, period] : menuBarTimerPeriods) {
            periods[timer] = period.count();
        }
        QCOMPARE(periods.size(), std::size_t(5));
        QCOMPARE(periods[MenuBarTimer::chatPoll], 2000);
        QCOMPARE(periods[MenuBarTimer::customerNotification], 20000);
        QCOMPARE(periods[MenuBarTimer::updateStatus], 1500);
        QCOMPARE(periods[MenuBarTimer::connectionStatus], 15000);
        QCOMPARE(periods[MenuBarTimer::rustDeskHealth], 5400000);
    }

    void updateAnnouncementOncePerPhaseOfAnUpdate() {
        UpdateAnnouncementMemory memory;
        const std::optional<std::string> next = "0.2.56";
        QVERIFY(!memory.take("queued", next));
        QVERIFY(!memory.take("checking", next));
        QVERIFY(memory.take("downloading", next));
        QVERIFY(!memory.take("downloading", next));
        // Unannounced phases neither notify nor reset the memory.
        QVERIFY(!memory.take("failed", next));
        QVERIFY(!memory.take("downloading", next));
        QVERIFY(memory.take("installing", next));
        // A status file flipping between the phases announces nothing more.
        for (int flip = 0; flip < 10; ++flip) {
            QVERIFY(!memory.take(flip % 2 ? "installing" : "downloading", next));
        }
        // The next update is announced again; switching back to this one is not.
        QVERIFY(memory.take("downloading", std::string("0.2.57")));
        QVERIFY(!memory.take("installing", next));
        QVERIFY(memory.take("downloading", std::nullopt));
        QVERIFY(!memory.take("downloading", std::nullopt));
    }

    void connectionAnnouncementOncePerIssue() {
        ConnectionAnnouncementMemory memory;
        QVERIFY(!memory.take(std::nullopt));
        QVERIFY(memory.take(AgentConnectionIssue::invalidViewerToken));
        QVERIFY(!memory.take(AgentConnectionIssue::invalidViewerToken));
        QVERIFY(memory.take(AgentConnectionIssue::temporarilyUnavailable));
        QVERIFY(!memory.take(std::nullopt));
        QVERIFY(memory.take(AgentConnectionIssue::temporarilyUnavailable));

        ViewerState state;
        state.connectionIssue = AgentConnectionIssue::deviceDeactivated;
        QCOMPARE(connectionAnnouncementText(state),
                 QString::fromUtf8(connectionIssueMessage(AgentConnectionIssue::deviceDeactivated).data()));
        state.connectionMessage = "Własny komunikat demona";
        QCOMPARE(connectionAnnouncementText(state), QStringLiteral("Własny komunikat demona"));
    }

    void statusGridForTheFourCases() {
        Facts facts;
        ViewerState empty;
        auto values = statusGridValues(settingsWithToken(""), empty, facts);
        QCOMPARE(values.status, (GridValue{QStringLiteral("Brak firmy / tokenu"), ViewerTheme::muted}));
        QCOMPARE(values.supportId,
                 (GridValue{QStringLiteral("ID oczekuje na rejestrację"), ViewerTheme::muted}));
        QCOMPARE(values.deviceUid.text, QStringLiteral("-"));
        QCOMPARE(values.lastInventory.text, QStringLiteral("-"));
        QCOMPARE(values.hostname.text, QStringLiteral("host-from-process"));
        QCOMPARE(values.version.text, QStringLiteral("0.2.55"));
        QCOMPARE(values.log.text, QStringLiteral("sekwo.log"));

        values = statusGridValues(settingsWithToken("ACME"), empty, facts);
        QCOMPARE(values.status, (GridValue{QStringLiteral("Rejestracja"), ViewerTheme::orange}));

        ViewerState registered;
        registered.supportId = "  SUP-77 \n";
        registered.hostname = "   ";
        registered.lastInventoryAt = parseIso8601("2026-03-01T14:05:09Z");
        facts.localized = "Anna's Mac";
        values = statusGridValues(settingsWithToken("ACME"), registered, facts);
        QCOMPARE(values.status, (GridValue{QStringLiteral("Zarejestrowany"), ViewerTheme::tealDark}));
        QCOMPARE(values.supportId, (GridValue{QStringLiteral("SUP-77"), ViewerTheme::tealDark}));
        QCOMPARE(values.hostname.text, QStringLiteral("Anna's Mac"));
        QVERIFY(values.lastInventory.text.contains(QStringLiteral("2026")));

        ViewerState failing = registered;
        failing.connectionIssue = AgentConnectionIssue::invalidViewerToken;
        failing.connectionMessage = "Serwer odrzucił token.";
        values = statusGridValues(settingsWithToken("ACME"), failing, facts);
        QCOMPARE(values.status,
                 (GridValue{QStringLiteral("Serwer odrzucił token."), ViewerTheme::systemRed}));
    }

    void windowGeometryAndPortalLinks() {
        QCOMPARE(initialContentSize(std::nullopt), QSize(940, 800));
        QCOMPARE(initialContentSize(QRect(0, 0, 1440, 900)), QSize(940, 800));
        QCOMPARE(initialContentSize(QRect(0, 0, 400, 300)), QSize(420, 360));
        QCOMPARE(tabContentSize(true, QRect(0, 0, 1920, 1080)), QSize(1080, 920));
        QCOMPARE(tabContentSize(true, QRect(0, 0, 1280, 800)), QSize(1080, 728));
        QCOMPARE(tabContentSize(false, QRect(0, 0, 600, 500)), QSize(620, 540));

        QCOMPARE(customerPortalUrl("https://desk.example.org/base", QStringLiteral("  T-42 "))->toString(),
                 QStringLiteral("https://desk.example.org/base/customer/tickets/T-42"));
        QCOMPARE(customerPortalUrl("https://desk.example.org", QString())->toString(),
                 QStringLiteral("https://desk.example.org/customer/tickets"));
        // A reference is one path component, never a way out of the path.
        QCOMPARE(customerPortalUrl("https://desk.example.org", QStringLiteral("../a b"))
                     ->toString(QUrl::FullyEncoded),
                 QStringLiteral("https://desk.example.org/customer/tickets/..%2Fa%20b"));
        QVERIFY(!customerPortalUrl("not a url", QString()));

        QCOMPARE(initialTab(settingsWithToken("")), StatusTab::settings);
        QCOMPARE(initialTab(settingsWithToken("ACME")), StatusTab::status);
    }

    void updateWindowRowsPerPhase() {
        const auto idle = updateWindowRows(std::nullopt);
        QCOMPARE(idle, (UpdateWindowRows{QStringLiteral("Gotowy do sprawdzenia aktualizacji."),
                                         QStringLiteral("0.2.55"), QStringLiteral("-"), QStringLiteral("-"),
                                         false}));
        ViewerUpdateStatus status{
            "downloading", "Pobieranie", "0.2.54", "0.2.56", *parseIso8601("2026-03-01T14:05:09Z"),
            std::nullopt};
        auto rows = updateWindowRows(status);
        QCOMPARE(rows.status, QStringLiteral("Pobieranie"));
        QCOMPARE(rows.installedVersion, QStringLiteral("0.2.54"));
        QCOMPARE(rows.availableVersion, QStringLiteral("0.2.56"));
        QVERIFY(rows.inProgress);
        for (const char* phase : {"queued", "checking", "installing"}) {
            status.phase = phase;
            QVERIFY2(updateWindowRows(status).inProgress, phase);
        }
        status.availableVersion.reset();
        for (const char* phase : {"no_update", "installed", "failed"}) {
            status.phase = phase;
            QVERIFY2(!updateWindowRows(status).inProgress, phase);
            QCOMPARE(updateWindowRows(status).availableVersion, QStringLiteral("-"));
        }
        const auto queued = queuedUpdateStatus(*parseIso8601("2026-03-01T14:05:09Z"));
        QCOMPARE(queued.phase, std::string("queued"));
        QVERIFY(!queued.availableVersion);
        QVERIFY(queued.logPath->ends_with("/Library/Logs/Sekwo Tarnvik/sekwo-update.log"));
    }

    void entryArgumentsAndRelaunch() {
        using entry::hasArgument;
        const std::vector<std::string> args{"/x/Sekwo Tarnvik", "--menubar", "--version",
                                            "--launched-by-open"};
        QVERIFY(hasArgument(args, "--version"));
        QVERIFY(!hasArgument(args, "--Version"));
        QVERIFY(!hasArgument({"/x/app", "--menubar=1"}, "--menubar"));
        QCOMPARE(entry::mainBundlePath("/Applications/Sekwo Tarnvik.app/Contents/MacOS/Sekwo Tarnvik"),
                 std::filesystem::path("/Applications/Sekwo Tarnvik.app"));
        QCOMPARE(entry::mainBundlePath("/work/build/Sekwo Tarnvik"), std::filesystem::path("/work/build"));
        const auto forwarded = entry::relaunchArguments(
            {"/A.app/Contents/MacOS/a", "--menubar", "--launched-by-open", "--version", "x"}, "/A.app");
        QCOMPARE(forwarded, (std::vector<std::string>{"-n", "/A.app", "--args", "--launched-by-open",
                                                      "--menubar", "x"}));

        QCOMPARE(ViewerLocalization::normalize(std::nullopt), QStringLiteral("pl"));
        QCOMPARE(ViewerLocalization::normalize(QStringLiteral("EN-us")), QStringLiteral("en"));
        QCOMPARE(ViewerLocalization::normalize(QStringLiteral("-ja")), QStringLiteral("ja"));
        QCOMPARE(ViewerLocalization::normalize(QStringLiteral("-en-us")), QStringLiteral("pl"));
        QCOMPARE(ViewerLocalization::normalize(QStringLiteral("de")), QStringLiteral("pl"));
        QCOMPARE(ViewerLocalization::normalize(QStringLiteral("-")), QStringLiteral("pl"));
    }

    void instanceLockIsExclusivePerUserAndOnlyTheUsersOwn() {
        test::TempRoot root;
        std::filesystem::create_directories(root / "/tmp");
        QTemporaryDir runtime;
        QTemporaryDir data;
        ::setenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData(), 1);
        ::setenv("XDG_DATA_HOME", data.path().toLocal8Bit().constData(), 1);
        const auto mode = [](const std::filesystem::path& path) {
            struct stat info {};
            return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : mode_t(-1);
        };
        {
            auto first = ApplicationInstanceLock::acquire();
            QVERIFY(first.has_value());
            QCOMPARE(*ApplicationInstanceLock::privateLockPath(),
                     std::filesystem::path(runtime.path().toStdString()) / "pl.tarnvik.sekwo.menubar.lock");
            QVERIFY(ApplicationInstanceLock::lockPath().filename().string() ==
                    "pl.tarnvik.sekwo.menubar." + std::to_string(::getuid()) + ".lock");
            QCOMPARE(mode(*ApplicationInstanceLock::privateLockPath()), mode_t(0600));
            QCOMPARE(mode(ApplicationInstanceLock::lockPath()), mode_t(0600));
            QVERIFY(!ApplicationInstanceLock::acquire().has_value());
            auto moved = std::move(*first);
            QVERIFY(!ApplicationInstanceLock::acquire().has_value());
        }
        QVERIFY(ApplicationInstanceLock::acquire().has_value());
        {
            // The user's own /tmp file, held by an instance of an earlier version.
            const files::UniqueFd older(::open(ApplicationInstanceLock::lockPath().c_str(), O_RDWR));
            QVERIFY(::flock(older.get(), LOCK_EX | LOCK_NB) == 0);
            QVERIFY(!ApplicationInstanceLock::acquire().has_value());
        }

        // A /tmp file that is not the user's own proves nothing: a planted link...
        std::filesystem::remove(ApplicationInstanceLock::lockPath());
        std::filesystem::create_symlink(root / "/tmp/elsewhere", ApplicationInstanceLock::lockPath());
        QVERIFY(ApplicationInstanceLock::acquire().has_value());
        QVERIFY(!std::filesystem::exists(root / "/tmp/elsewhere"));
        std::filesystem::remove(ApplicationInstanceLock::lockPath());
        if (::geteuid() == 0) {
            // ...or a file another user made first and holds a lock on.
            root.write(ApplicationInstanceLock::lockPath(), "");
            QVERIFY(::chown(ApplicationInstanceLock::lockPath().c_str(), 65534, 65534) == 0);
            QVERIFY(::chmod(ApplicationInstanceLock::lockPath().c_str(), 0666) == 0);
            const files::UniqueFd planted(::open(ApplicationInstanceLock::lockPath().c_str(), O_RDWR));
            QVERIFY(::flock(planted.get(), LOCK_EX | LOCK_NB) == 0);
            auto lock = ApplicationInstanceLock::acquire();
            QVERIFY(lock.has_value());
            QVERIFY(!ApplicationInstanceLock::acquire().has_value());
        }

        // A runtime directory others may write is not used: the lock moves to
        // the user's data directory, made private.
        QVERIFY(::chmod(runtime.path().toLocal8Bit().constData(), 0777) == 0);
        const auto privateDirectory = std::filesystem::path(data.path().toStdString()) / "Sekwo Tarnvik";
        QCOMPARE(*ApplicationInstanceLock::privateLockPath(),
                 privateDirectory / "pl.tarnvik.sekwo.menubar.lock");
        QVERIFY(ApplicationInstanceLock::acquire().has_value());
        QCOMPARE(mode(privateDirectory), mode_t(0700));
        ::unsetenv("XDG_RUNTIME_DIR");
        ::unsetenv("XDG_DATA_HOME");
    }
};

QTEST_GUILESS_MAIN(MenuBarRulesTest)
#include "MenuBarRulesTest.moc"
