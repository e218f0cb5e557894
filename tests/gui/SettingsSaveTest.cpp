#include "GuiFixture.hpp"
#include "core/Files.hpp"
#include "menubar/ui/Dialogs.hpp"
#include "menubar/ui/ViewerLocalization.hpp"

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

using namespace kova;
using namespace kova::menubar;
using kova::test::findWidget;

namespace {

void writeOldSettings() {
    auto settings = ViewerSettings::defaults();
    settings.serverBaseUrl = "https://old.example.org";
    settings.viewerToken = "OLD";
    settings.auditIntervalMinutes = 720;
    settings.heartbeatIntervalSeconds = 600;
    settings.chatPollIntervalSeconds = 5;
    settings.notificationsEnabled = false;
    settings.write(paths::configPath());
}

} // namespace

class SettingsSaveTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir userDirectory_;
    std::unique_ptr<test::GuiFixture> fixture_;
    test::FakeDesktop* desktop_ = nullptr;
    KovaViewerMenuBarApp* app_ = nullptr;
    std::vector<ViewerSettings> audited_;

    QString temporaryDirectory() const { return userDirectory_.filePath(QStringLiteral("tmp")); }
    QStringList temporaryFiles() const { return QDir(temporaryDirectory()).entryList(QDir::Files); }

    StatusWindowController& window() {
        fixture_->helpdesk->inventory = [this](const ViewerSettings& settings, const std::string&) {
            QMetaObject::invokeMethod(this, [this, settings] { audited_.push_back(settings); });
            return AgentOperationOutcome::success();
        };
        app_ = &fixture_->start();
        app_->showStatusWindow();
        return *app_->statusWindow();
    }

    void save(StatusWindowController& window, const QString& server, const QString& token) {
        findWidget<QLineEdit>(&window, "serverField")->setText(server);
        findWidget<QLineEdit>(&window, "tokenField")->setText(token);
        findWidget<QAbstractButton>(&window, "saveConfigurationButton")->click();
    }

private Q_SLOTS:
    void initTestCase() {
        // The user's defaults and temporary directory, away from the real ones.
        qputenv("XDG_CONFIG_HOME", userDirectory_.filePath(QStringLiteral("config")).toUtf8());
        qputenv("TMPDIR", temporaryDirectory().toUtf8());
        QDir().mkpath(temporaryDirectory());
    }
    void init() {
        fixture_ = std::make_unique<test::GuiFixture>();
        desktop_ = &fixture_->desktop;
        audited_.clear();
        dialogs::testing::enable();
        writeOldSettings();
    }
    void cleanup() { fixture_.reset(); }

    void savedOnlyWithTheAdministratorsApproval() {
        auto& shown = window();
        const std::string oldFile = files::readFile(paths::configPath());

        // Approved: root copies the temporary file over the target.
        desktop_->administratorAnswer = [this](const std::string& command) {
            const QStringList pending = temporaryFiles();
            if (pending.size() != 1 || command.find(paths::configPath().string()) == std::string::npos) {
                return AdministratorCommandResult{true, 1, {}};
            }
            const auto temporary = QDir(temporaryDirectory()).filePath(pending.front()).toStdString();
            files::writeFileAtomically(paths::configPath(), files::readFile(temporary));
            return AdministratorCommandResult{true, 0, {}};
        };
        save(shown, QStringLiteral(" https://new.example.org/ "), QStringLiteral("NEW "));
        QTRY_COMPARE(desktop_->notificationTexts(),
                     QStringList{QStringLiteral("Konfiguracja została zapisana.")});
        QVERIFY(fixture_->alerts.isEmpty());
        const auto written = ViewerSettings::load();
        QCOMPARE(written.serverBaseUrl, std::string("https://new.example.org"));
        QCOMPARE(written.viewerToken, std::string("NEW"));
        QCOMPARE((std::array<std::int64_t, 3>{written.auditIntervalMinutes, written.heartbeatIntervalSeconds,
                                              written.chatPollIntervalSeconds}),
                 (std::array<std::int64_t, 3>{360, 300, 2}));
        QVERIFY(written.notificationsEnabled);
        QCOMPARE(app_->settings()->viewerToken, std::string("NEW"));
        QCOMPARE(findWidget<QLineEdit>(&shown, "tokenField")->text(), QStringLiteral("NEW"));
        QVERIFY(temporaryFiles().isEmpty());
        QTRY_COMPARE(audited_.size(), std::size_t(1));
        QCOMPARE(audited_.front().viewerToken, std::string("NEW"));

        // Refused, or the prompt missing: nothing changes and the user is told.
        const std::string savedFile = files::readFile(paths::configPath());
        QVERIFY(savedFile != oldFile);
        desktop_->administratorAnswer = [](const std::string&) {
            return AdministratorCommandResult{true, 126, {}};
        };
        save(shown, QStringLiteral("https://other.example.org"), QStringLiteral("OTHER"));
        QTRY_COMPARE(fixture_->alerts,
                     QStringList{QStringLiteral(
                         "Nie zapisano konfiguracji: Administrator nie zatwierdzil zapisu konfiguracji.")});
        desktop_->administratorAnswer = [](const std::string&) {
            return AdministratorCommandResult{false, -1, QStringLiteral("pkexec: not found")};
        };
        save(shown, QStringLiteral("https://other.example.org"), QStringLiteral("OTHER"));
        QTRY_COMPARE(fixture_->alerts.size(), 2);
        QCOMPARE(fixture_->alerts.back(), QStringLiteral("Nie zapisano konfiguracji: pkexec: not found"));
        QCOMPARE(desktop_->notificationTexts().size(), 1);
        QCOMPARE(app_->settings()->viewerToken, std::string("NEW"));
        QCOMPARE(files::readFile(paths::configPath()), savedFile);
        QVERIFY(temporaryFiles().isEmpty());

        // An invalid address never reaches the prompt.
        const auto asked = desktop_->administratorCommands.size();
        save(shown, QStringLiteral("http://plain.example.org"), QStringLiteral("X"));
        const auto warnings = dialogs::testing::takeShown();
        QCOMPARE(warnings.size(), std::size_t(1));
        QCOMPARE(warnings.front().title, QStringLiteral("Nieprawidlowa konfiguracja"));
        QCOMPARE(warnings.front().text, QStringLiteral("serverBaseUrl must be a valid HTTPS URL."));
        QCOMPARE(desktop_->administratorCommands.size(), asked);

        // The delegate keeps the normalised copy of what it was handed.
        desktop_->administratorAnswer = nullptr;
        auto raw = ViewerSettings::defaults();
        raw.serverBaseUrl = " https://raw.example.org/ ";
        raw.viewerToken = " RAW ";
        app_->saveSettings(raw);
        QTRY_COMPARE(desktop_->notificationTexts().size(), 2);
        QCOMPARE(app_->settings()->serverBaseUrl, std::string("https://raw.example.org"));
        QCOMPARE(app_->settings()->viewerToken, std::string("RAW"));
    }

    void languageChoiceIsStoredAndAnnounced() {
        auto& shown = window();
        auto* popup = findWidget<QComboBox>(&shown, "languagePopup");
        QVERIFY(popup->isEnabled());
        popup->setCurrentIndex(popup->findText(QStringLiteral("Español")));
        Q_EMIT popup->activated(popup->currentIndex());
        QCOMPARE(ViewerLocalization::storedLanguage(), QStringLiteral("es"));
        const auto warnings = dialogs::testing::takeShown();
        QCOMPARE(warnings.size(), std::size_t(1));
        QCOMPARE(warnings.front().title, QStringLiteral("Sekwo Tarnvik"));
        QCOMPARE(warnings.front().text,
                 QStringLiteral("Język został zapisany. Zmiana zostanie zastosowana po "
                                "ponownym uruchomieniu aplikacji."));
    }
};

QTEST_MAIN(SettingsSaveTest)
#include "SettingsSaveTest.moc"
