#include "menubar/model/CustomerSessionStore.hpp"
#include "menubar/model/ViewerModel.hpp"
#include "core/Errors.hpp"
#include "support/TempRoot.hpp"

#include <QSignalSpy>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace kova;
using namespace kova::menubar;
namespace fs = std::filesystem;

namespace {

CustomerSessionState session(std::string expiresAt = "2999-01-01T00:00:00Z") {
    CustomerSessionState s;
    s.accessToken = "cs_secret";
    s.expiresAt = std::move(expiresAt);
    s.customer.email = "anna@example.test";
    s.customer.fullName = "Anna Nowak";
    s.customer.phone = "+48 600 100 200";
    s.lastNotificationMessageId = 41;
    return s;
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

} // namespace

class CustomerSessionStoreTest : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<test::TempRoot> root_;
    fs::path file() const { return *CustomerSessionStore::directory() / CustomerSessionStore::fileName; }
    void writeRaw(const std::string& text) const {
        fs::create_directories(file().parent_path());
        std::ofstream(file()) << text;
    }

private Q_SLOTS:
    void init() {
        root_ = std::make_unique<test::TempRoot>();
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root_->path() / "data").string()));
    }
    void cleanup() { root_.reset(); }

    void savesPrivatelyAndRoundTrips() {
        // A directory left wider by someone else is narrowed again.
        fs::create_directories(*CustomerSessionStore::directory());
        fs::permissions(*CustomerSessionStore::directory(), fs::perms::all);
        CustomerSessionStore::save(session());
        QCOMPARE(modeOf(*CustomerSessionStore::directory()), mode_t(0700));
        QCOMPARE(modeOf(file()), mode_t(0600));
        QCOMPARE(CustomerSessionStore::load(), std::optional(session()));
        // Compact JSON, all four keys.
        const auto text = root_->read(file());
        QVERIFY(text.find('\n') == std::string::npos);
        QVERIFY(text.find("\"lastNotificationMessageId\":41") != std::string::npos);

        CustomerSessionStore::clear();
        QVERIFY(!fs::exists(file()));
        QVERIFY(!CustomerSessionStore::load());
        CustomerSessionStore::clear(); // a missing file is no error

        // A fresh tree: every directory created on the way is private.
        root_ = std::make_unique<test::TempRoot>();
        qputenv("XDG_DATA_HOME", QByteArray::fromStdString((root_->path() / "a/b").string()));
        CustomerSessionStore::save(session());
        QCOMPARE(modeOf(root_->path() / "a/b"), mode_t(0700));
        QCOMPARE(modeOf(*CustomerSessionStore::directory()), mode_t(0700));

        // A file where the directory should be: the Polish save error.
        CustomerSessionStore::clear();
        fs::remove_all(*CustomerSessionStore::directory());
        std::ofstream(*CustomerSessionStore::directory()) << "x";
        try {
            CustomerSessionStore::save(session());
            QFAIL("saved into a file");
        } catch (const ViewerError& error) {
            QCOMPARE(error.kind(), ViewerErrorKind::configuration);
            QCOMPARE(error.message(), std::string("Nie udało się bezpiecznie zapisać sesji klienta."));
        }
    }

    void loadsOnlyValidSessions() {
        const std::string profile =
            R"("customer":{"email":"a@b.pl","full_name":"A","can_view_organization_tickets":false})";
        const struct {
            const char* name;
            std::string text;
            bool loads;
        } rows[] = {
            {"valid",
             R"({"accessToken":"t","expiresAt":"2999-01-01T00:00:00Z",)" + profile +
                 R"(,"lastNotificationMessageId":0})",
             true},
            {"expired",
             R"({"accessToken":"t","expiresAt":"2001-01-01T00:00:00Z",)" + profile +
                 R"(,"lastNotificationMessageId":0})",
             false},
            {"unparsable expiry",
             R"({"accessToken":"t","expiresAt":"soon",)" + profile + R"(,"lastNotificationMessageId":0})",
             true},
            {"empty token",
             R"({"accessToken":"","expiresAt":"2999-01-01T00:00:00Z",)" + profile +
                 R"(,"lastNotificationMessageId":0})",
             false},
            {"no cursor", R"({"accessToken":"t","expiresAt":"2999-01-01T00:00:00Z",)" + profile + "}", false},
            {"not json", "{", false},
        };
        for (const auto& row : rows) {
            writeRaw(row.text);
            QVERIFY2(CustomerSessionStore::load().has_value() == row.loads, row.name);
            QVERIFY2(fs::exists(file()), row.name); // loading never deletes
        }
    }

    void expiryReadsFractionalSeconds() {
        using namespace std::chrono;
        const auto at = sys_days{2026y / 3 / 1} + 14h + 5min + 9s;
        const auto justAfter = at + 250ms;
        QVERIFY(!CustomerSessionStore::isExpired("2026-03-01T14:05:09.5Z", at + 499ms));
        QVERIFY(CustomerSessionStore::isExpired("2026-03-01T14:05:09.5Z", at + 500ms));
        QVERIFY(!CustomerSessionStore::isExpired("2026-03-01T16:05:09.25+02:00", at));
        QVERIFY(CustomerSessionStore::isExpired("2026-03-01T16:05:09.25+02:00", justAfter));
        QVERIFY(CustomerSessionStore::isExpired("2026-03-01T14:05:09Z", at));
        QVERIFY(!CustomerSessionStore::isExpired("2026-03-01T14:05:09Z", at - 1s));
        QVERIFY(!CustomerSessionStore::isExpired("2026-03-01T14:05:09.Z", at + 1h));
        QVERIFY(!CustomerSessionStore::isExpired("", at));
    }

    void sessionChangesAreReadAtOnceAndAnnouncedFromTheLoop() {
        ViewerModel model;
        QSignalSpy spy(&model, &ViewerModel::customerSessionChanged);
        CustomerSessionStore::save(session());
        model.customerSessionStored();
        QVERIFY(model.customerSession() && model.customerSession()->accessToken == "cs_secret");
        QCOMPARE(spy.count(), 0);
        QVERIFY(spy.wait(1000));
    }
};

QTEST_GUILESS_MAIN(CustomerSessionStoreTest)
#include "CustomerSessionStoreTest.moc"
