#include "GuiFixture.hpp"
#include "menubar/status/StatusWindowController.hpp"
#include "menubar/ticket/TicketEditor.hpp"
#include "menubar/ticket/TicketFormRules.hpp"
#include "menubar/ui/Dialogs.hpp"

#include <QAbstractButton>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>

using namespace kova;
using namespace kova::menubar;
using kova::test::findWidget;

namespace {

TicketFormInput validInput() {
    TicketFormInput input;
    input.customerName = QStringLiteral(" Anna Nowak ");
    input.customerEmail = QStringLiteral(" Anna@Firma.pl ");
    input.ccEmails = QStringLiteral("biuro@firma.pl");
    input.phone = QStringLiteral("+48 (12) 345-67.89");
    input.subject = QStringLiteral("  Drukarka  ");
    input.descriptionHtml = QStringLiteral(" <p>Nie drukuje</p> ");
    return input;
}

QString title(const TicketFormInput& input, std::size_t attachments = 0) {
    const auto failure = ticketValidationFailure(input, attachments);
    return failure ? failure->title : QString();
}

QString writeFile(const QTemporaryDir& dir, const QString& name, std::size_t size) {
    const auto path = dir.filePath(name);
    std::ofstream(path.toStdString(), std::ios::binary) << std::string(size, 'x');
    return path;
}

} // namespace

class TicketFormTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { dialogs::testing::enable(); }

    void validationRulesInTheirOrder() {
        QCOMPARE(ticketValidationFailure(validInput(), 0), std::nullopt);

        auto input = validInput();
        input.customerEmail = QStringLiteral("anna@firma");
        input.ccEmails = QStringLiteral("zly");
        const auto email = ticketValidationFailure(input, 0);
        QCOMPARE(email->title, QStringLiteral("Nieprawidłowy adres e-mail"));
        QCOMPARE(email->text, QStringLiteral("Podaj pełny adres e-mail, np. jan.kowalski@firma.pl."));

        input = validInput();
        input.ccEmails = QStringLiteral("biuro@firma.pl, zly@x");
        input.phone = QStringLiteral("12");
        QCOMPARE(title(input), QStringLiteral("Nieprawidłowy adres DW"));

        // 21 addresses are too many even though one is the sender's own.
        input = validInput();
        QStringList cc{QStringLiteral("ANNA@firma.pl")};
        for (int i = 0; i < 20; ++i) {
            cc << QStringLiteral("osoba%1@firma.pl").arg(i);
        }
        input.ccEmails = cc.join(u';');
        QCOMPARE(title(input), QStringLiteral("Za dużo adresów DW"));
        cc.removeLast();
        input.ccEmails = cc.join(u';');
        QCOMPARE(title(input), QString());

        input = validInput();
        for (const auto* phone : {"12345", "+48 123 456 789 012 345 678 901 234", "123456a"}) {
            input.phone = QString::fromLatin1(phone);
            QCOMPARE(title(input), QStringLiteral("Nieprawidłowy telefon"));
        }
        input.phone = QString();
        QCOMPARE(title(input), QString());
        input.phone = QString(32, u'1');
        QCOMPARE(title(input), QString());

        // Characters as a reader counts them: two accented letters made of
        // four code points are still two.
        input = validInput();
        input.subject = QStringLiteral("e\u0301e\u0301");
        input.descriptionHtml = QString();
        QCOMPARE(title(input), QStringLiteral("Brakuje tematu"));
        input.subject = QStringLiteral("Żół");
        QCOMPARE(title(input), QStringLiteral("Brakuje opisu"));
        input.descriptionHtml = QStringLiteral("<p> </p><p><br></p>");
        QCOMPARE(title(input), QStringLiteral("Brakuje opisu"));
        QCOMPARE(title(input, 1), QString());
        QCOMPARE(title(input, 11), QStringLiteral("Za dużo załączników"));
        QCOMPARE(title(validInput(), 10), QString());
    }

    void ccParsing() {
        QCOMPARE(parsedTicketCcEmails(QStringLiteral("  ANNA@X.PL ; anna@x.pl,\n bob@y.com \r\n;;")),
                 (QStringList{QStringLiteral("anna@x.pl"), QStringLiteral("bob@y.com")}));
        QCOMPARE(parsedTicketCcEmails(QStringLiteral(" , ")), QStringList());
    }

    void draftAssembly() {
        auto input = validInput();
        input.ccEmails = QStringLiteral("anna@FIRMA.pl, biuro@firma.pl");
        input.priorityIndex = 3;
        input.departmentIndex = 2;
        auto draft = ticketDraft(input, {});
        QCOMPARE(draft.customerName, std::string("Anna Nowak"));
        QCOMPARE(draft.customerEmail, std::string("Anna@Firma.pl"));
        QCOMPARE(draft.ccEmails, std::vector<std::string>{"biuro@firma.pl"});
        QCOMPARE(draft.subject, std::string("Drukarka"));
        QCOMPARE(draft.descriptionHtml, std::string("<p>Nie drukuje</p>"));
        QCOMPARE(draft.priority, std::string("critical"));
        QCOMPARE(draft.ticketType, std::string("kovasecurity"));
        QCOMPARE(ticketPriorityColour(3), QColor(17, 24, 39));

        input.descriptionHtml = QStringLiteral("  ");
        input.priorityIndex = 7;
        input.departmentIndex = -1;
        TicketAttachmentSelection file{"abc", QStringLiteral("a.png"), QStringLiteral("image/png"), 3, {}};
        draft = ticketDraft(input, {file});
        QCOMPARE(draft.descriptionHtml, std::string("<p>Załączono obraz.</p>"));
        QCOMPARE(draft.priority, std::string("normal"));
        QCOMPARE(draft.ticketType, std::string("tarnvik"));
        QCOMPARE(draft.attachments.size(), std::size_t{1});
        QCOMPARE(draft.attachments[0].data, std::string("abc"));
        QCOMPARE(draft.attachments[0].contentType, std::string("image/png"));
        QVERIFY(!draft.attachments[0].inlinePlaceholder);
        QCOMPARE(ticketDraft(input, {}).descriptionHtml, std::string());
    }

    void attachmentRules() {
        test::TempRoot root; // the read failure is logged below it
        QTemporaryDir dir;
        std::vector<TicketAttachmentSelection> list;
        std::vector<TicketAlert> alerts;
        auto warn = [&](const TicketAlert& alert) { alerts.push_back(alert); };

        const auto limit = static_cast<std::size_t>(maximumTicketAttachmentBytes);
        addTicketAttachments(list,
                             {writeFile(dir, QStringLiteral("duzy.bin"), limit + 1),
                              writeFile(dir, QStringLiteral("pusty.txt"), 0),
                              dir.filePath(QStringLiteral("brak.txt")),
                              writeFile(dir, QStringLiteral("limit.pdf"), limit),
                              writeFile(dir, QStringLiteral("notatka.txt"), 1500),
                              writeFile(dir, QStringLiteral("dane.zzqq"), 20)},
                             warn);
        QCOMPARE(alerts.size(), std::size_t{3});
        QCOMPARE(alerts[0], (TicketAlert{QStringLiteral("Plik jest za duży"),
                                         QStringLiteral("duzy.bin ma więcej niż 15 MB.")}));
        QCOMPARE(alerts[1], (TicketAlert{QStringLiteral("Pusty plik"),
                                         QStringLiteral("pusty.txt nie zawiera danych.")}));
        QCOMPARE(alerts[2].title, QStringLiteral("Nie można odczytać załącznika"));
        QCOMPARE(alerts[2].text,
                 QStringLiteral("Nie udało się odczytać pliku brak.txt. Wybierz go ponownie."));
        QCOMPARE(list.size(), std::size_t{3});
        QCOMPARE(list[0].size, maximumTicketAttachmentBytes);
        QCOMPARE(list[0].contentType, QStringLiteral("application/pdf"));
        QCOMPARE(list[1].filename, QStringLiteral("notatka.txt"));
        QCOMPARE(list[1].contentType, QStringLiteral("text/plain"));
        QCOMPARE(list[2].contentType, QStringLiteral("application/octet-stream"));

        // The count limit stops the batch with one alert; the same file may come twice.
        alerts.clear();
        const auto small = writeFile(dir, QStringLiteral("a.txt"), 10);
        addTicketAttachments(list, QStringList(12, small), warn);
        QCOMPARE(list.size(), maximumTicketAttachments);
        QCOMPARE(alerts.size(), std::size_t{1});
        QCOMPARE(alerts[0].title, QStringLiteral("Za dużo załączników"));
    }

    void attachmentSummary() {
        QLocale::setDefault(QLocale(QLocale::Polish));
        QCOMPARE(ticketAttachmentsSummary({}), QStringLiteral("Brak załączników"));
        std::vector<TicketAttachmentSelection> list(2);
        list[0].size = 1500;
        list[1].size = 2'048'000;
        QCOMPARE(ticketAttachmentsSummary(list), QStringLiteral("2 plik(i), 2 MB"));
        QCOMPARE(fileSizeText(1500), QStringLiteral("2 KB"));
        QCOMPARE(fileSizeText(12), QStringLiteral("1 KB"));
        QCOMPARE(fileSizeText(999'400), QStringLiteral("999 KB"));
        QCOMPARE(fileSizeText(1'234'567), QStringLiteral("1,2 MB"));
        QLocale::setDefault(QLocale::c());
    }

    // The form in the real window, with the editor module loaded.
    void formSubmissionOutcomes() {
        test::GuiFixture fixture;
        std::vector<AgentTicketDraft> sent;
        TicketCompletion pending;
        StatusWindowHandlers handlers;
        handlers.ticket = [&](AgentTicketDraft draft, TicketCompletion completion) {
            sent.push_back(std::move(draft));
            pending = std::move(completion);
        };
        auto settings = ViewerSettings::defaults();
        settings.serverBaseUrl = "https://desk.example.org";
        fixture.model.setSettings(settings);
        StatusWindowController window(fixture.model, handlers, fixture.desktop, platform::systemFacts(),
                                      fixture.helpdesk);
        window.show();
        window.selectTab(StatusTab::ticket);
        auto* form = window.ticketForm();
        QTRY_VERIFY_WITH_TIMEOUT(form->editor(), 5000);
        bool ready = false;
        form->editor()->whenReady([&] { ready = true; });
        QTRY_VERIFY_WITH_TIMEOUT(ready, 60000);

        auto field = [&](const char* name) { return findWidget<QLineEdit>(&window, name); };
        field("ticketCustomerNameField")->setText(QStringLiteral("Anna"));
        field("ticketCustomerEmailField")->setText(QStringLiteral("anna@firma.pl"));
        field("ticketCcEmailsField")->setText(QStringLiteral("Biuro@firma.pl; anna@FIRMA.pl"));
        field("ticketSubjectField")->setText(QStringLiteral("Drukarka"));
        findWidget<QComboBox>(&window, "ticketPriorityPopup")->setCurrentIndex(2);
        QVERIFY(findWidget<QFrame>(&window, "ticketPriorityIndicator")
                    ->styleSheet()
                    .contains(QStringLiteral("#d92d20")));
        form->editor()->setHtml(QStringLiteral("<p>Nie drukuje</p>"));
        QTemporaryDir dir;
        dialogs::testing::answerNextOpenFiles({writeFile(dir, QStringLiteral("log.txt"), 1500)});
        findWidget<QAbstractButton>(&window, "addTicketAttachmentButton")->click();
        QCOMPARE(findWidget<QLabel>(&window, "ticketAttachmentsValue")->text(),
                 QStringLiteral("1 plik(i), 2 KB"));

        // A failure keeps every field.
        findWidget<QAbstractButton>(&window, "submitTicketButton")->click();
        QCOMPARE(findWidget<QLabel>(&window, "ticketStatusValue")->text(),
                 QStringLiteral("Wysyłam zgłoszenie..."));
        QCOMPARE(sent.size(), std::size_t{1});
        QCOMPARE(sent[0].ccEmails, std::vector<std::string>{"biuro@firma.pl"});
        QCOMPARE(sent[0].priority, std::string("high"));
        QCOMPARE(sent[0].descriptionHtml, std::string("<p>Nie drukuje</p>"));
        pending(std::nullopt, std::make_exception_ptr(ViewerError::configuration("Brak konfiguracji.")));
        auto shown = dialogs::testing::takeShown();
        QCOMPARE(shown.size(), std::size_t{1});
        QCOMPARE(shown[0].title, QStringLiteral("Nie wysłano zgłoszenia"));
        QCOMPARE(shown[0].text, findWidget<QLabel>(&window, "ticketStatusValue")->text());
        QVERIFY(shown[0].text.startsWith(
            QStringLiteral("Nie udało się wysłać zgłoszenie, ponieważ konfiguracja")));
        QCOMPARE(field("ticketSubjectField")->text(), QStringLiteral("Drukarka"));
        QCOMPARE(form->ticketAttachments().size(), std::size_t{1});
        QCOMPARE(form->editor()->pendingHTML(), QStringLiteral("<p>Nie drukuje</p>"));
        // A Mac the daemon has not registered yet is told so, not sent to the settings.
        findWidget<QAbstractButton>(&window, "submitTicketButton")->click();
        pending(std::nullopt, std::make_exception_ptr(ViewerError::configuration(missingDeviceUidMessage)));
        QCOMPARE(dialogs::testing::takeShown().at(0).text, QString::fromUtf8(missingDeviceUidMessage));

        // Success clears the ticket's own fields and keeps the sender's; the
        // panel opens the ticket in the customer panel.
        findWidget<QAbstractButton>(&window, "submitTicketButton")->click();
        QString panelNumber;
        dialogs::testing::answerNextExec([&](QDialog& panel) {
            panelNumber = findWidget<QLabel>(&panel, "acceptedTicketNumber")->text();
            findWidget<QAbstractButton>(&panel, "openAcceptedTicketButton")->click();
            return int(QDialog::Accepted);
        });
        pending(AgentTicketResponse{"KOVA-77", std::nullopt, std::nullopt, "Drukarka", "new"}, nullptr);
        QCOMPARE(panelNumber, QStringLiteral("Numer zgłoszenia: #77"));
        QCOMPARE(findWidget<QLabel>(&window, "ticketStatusValue")->text(),
                 QStringLiteral("Zgłoszenie przyjęte: #77"));
        QCOMPARE(fixture.desktop.opened.back().toString(),
                 QStringLiteral("https://desk.example.org/customer/tickets/KOVA-77"));
        QVERIFY(!form->acceptedTicket());
        QCOMPARE(field("ticketSubjectField")->text(), QString());
        QCOMPARE(field("ticketCcEmailsField")->text(), QString());
        QCOMPARE(form->editor()->pendingHTML(), QString());
        QVERIFY(form->ticketAttachments().empty());
        QCOMPARE(field("ticketCustomerEmailField")->text(), QStringLiteral("anna@firma.pl"));
        QCOMPARE(findWidget<QComboBox>(&window, "ticketPriorityPopup")->currentIndex(), 2);

        // Closing the window lets the page go; its content comes back with the next one.
        form->editor()->setHtml(QStringLiteral("<p>szkic</p>"));
        window.hide();
        QVERIFY(!form->editor());
        window.show();
        QTRY_VERIFY_WITH_TIMEOUT(form->editor(), 5000);
        QCOMPARE(form->editor()->pendingHTML(), QStringLiteral("<p>szkic</p>"));
    }

    void customerProfileLocksTheSender() {
        test::GuiFixture fixture;
        StatusWindowController window(fixture.model, {}, fixture.desktop, platform::systemFacts(),
                                      fixture.helpdesk);
        auto* form = window.ticketForm();
        auto* phone = findWidget<QLineEdit>(&window, "ticketPhoneField");
        auto* email = findWidget<QLineEdit>(&window, "ticketCustomerEmailField");
        phone->setText(QStringLiteral("111 222"));
        CustomerProfile profile;
        profile.fullName = "Anna Nowak";
        profile.email = "anna@firma.pl";
        profile.phone = " 600 700 800 ";
        form->applyCustomerProfile(profile);
        QCOMPARE(email->text(), QStringLiteral("anna@firma.pl"));
        QVERIFY(email->isReadOnly());
        QVERIFY(findWidget<QLineEdit>(&window, "ticketCustomerNameField")->isReadOnly());
        QCOMPARE(phone->text(), QStringLiteral("111 222"));
        phone->clear();
        form->applyCustomerProfile(profile);
        QCOMPARE(phone->text(), QStringLiteral("600 700 800"));
        // The ticket tab without a saved session unlocks both.
        window.selectTab(StatusTab::ticket);
        QVERIFY(!email->isReadOnly());
        QCOMPARE(email->text(), QStringLiteral("anna@firma.pl"));
    }
};

QTEST_MAIN(TicketFormTest)
#include "TicketFormTest.moc"
