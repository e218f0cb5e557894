// kova-api-probe: calls one helpdesk endpoint with the product's own client,
// settings and trust store, and prints the outcome as JSON. Used by the
// end-to-end tests and the HTTP benchmark; handy when debugging a server.
#include "api/KovaDeskApiClient.hpp"
#include "config/ViewerSettings.hpp"
#include "config/ViewerState.hpp"
#include "core/ConnectionIssue.hpp"
#include "core/Errors.hpp"
#include "core/Files.hpp"

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

using kova::Json;

Json errorJson(const std::exception& e) {
    Json out = {{"description", kova::errorDescription(e)}};
    if (const auto* v = dynamic_cast<const kova::ViewerError*>(&e)) {
        static const char* kinds[] = {"configuration", "http", "invalidResponse", "temporarilyUnavailable",
                                      "unsupported"};
        out["kind"] = kinds[static_cast<int>(v->kind())];
        if (v->kind() == kova::ViewerErrorKind::http) {
            out["status"] = v->status();
        }
    } else if (const auto* n = dynamic_cast<const kova::NetworkError*>(&e)) {
        static const char* codes[] = {"timedOut",
                                      "cannotFindHost",
                                      "dnsLookupFailed",
                                      "cannotConnectToHost",
                                      "networkConnectionLost",
                                      "notConnectedToInternet",
                                      "secureConnectionFailed",
                                      "serverCertificateUntrusted",
                                      "cancelled",
                                      "other"};
        out["kind"] = "network";
        out["code"] = codes[static_cast<int>(n->code())];
    } else if (dynamic_cast<const kova::DecodingError*>(&e)) {
        out["kind"] = "decoding";
    } else {
        out["kind"] = "other";
    }
    if (auto issue = kova::classifyConnectionIssue(e)) {
        out["issue"] = std::string(kova::connectionIssueName(*issue));
    }
    return out;
}

Json optionalJson(const std::optional<std::string>& v) {
    return v ? Json(*v) : Json(nullptr);
}

// The ticket and customer-panel operations. Secrets come from the
// environment, not the command line, so they stay out of process listings;
// the session token is never printed.
std::optional<Json> runPanelOperation(const std::vector<std::string>& a, kova::KovaDeskApiClient& client) {
    auto env = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    const auto& op = a.at(0);
    if (op == "ticket" && a.size() >= 2) {
        // The draft in the wire's key names; attachments name files to read.
        const auto in = Json::parse(a[1]);
        kova::AgentTicketDraft draft;
        draft.customerName = in.value("customer_name", "");
        draft.customerEmail = in.value("customer_email", "");
        draft.ccEmails = in.value("cc_emails", std::vector<std::string>{});
        draft.phone = in.value("phone", "");
        draft.subject = in.value("subject", "");
        draft.descriptionHtml = in.value("description", "");
        draft.priority = in.value("priority", "");
        draft.ticketType = in.value("ticket_type", "");
        for (const auto& item : in.value("attachments", Json::array())) {
            kova::AgentTicketAttachmentDraft attachment{
                item.at("filename"), item.value("content_type", ""),
                kova::files::readFile(item.at("path").get<std::string>()), std::nullopt};
            if (item.contains("inline_placeholder")) {
                attachment.inlinePlaceholder = item["inline_placeholder"].get<std::string>();
            }
            draft.attachments.push_back(std::move(attachment));
        }
        const auto r = client.createTicket(draft, kova::ViewerState::load());
        return Json{{"public_id", r.publicId},
                    {"ticket_number", optionalJson(r.ticketNumber)},
                    {"ticket_url", optionalJson(r.ticketUrl)},
                    {"subject", r.subject},
                    {"status", r.status},
                    {"display_number", r.displayNumber()}};
    }
    if (op == "customer-login" && a.size() >= 2) {
        const auto session = client.loginCustomer(a[1], env("KOVA_PROBE_PASSWORD"));
        return Json{{"expires_at", session.expiresAt},
                    {"customer", session.customer.toJson()},
                    {"access_token_length", session.accessToken.size()}};
    }
    if (op == "customer-notifications" && a.size() >= 3) {
        const auto page = client.customerTicketNotifications(env("KOVA_PROBE_SESSION_TOKEN"),
                                                             std::stoll(a[1]), std::stoll(a[2]));
        Json items = Json::array();
        for (const auto& n : page.items) {
            items.push_back({{"message_id", n.messageId},
                             {"ticket_public_id", n.ticketPublicId},
                             {"ticket_number", n.ticketNumber},
                             {"subject", n.subject},
                             {"message_text", n.messageText},
                             {"created_at", n.createdAt}});
        }
        return Json{{"items", items}, {"cursor", page.cursor}, {"has_more", page.hasMore}};
    }
    return std::nullopt;
}

Json run(const std::vector<std::string>& a, const kova::ViewerSettings& settings) {
    auto need = [&](std::size_t n) {
        if (a.size() < n) {
            throw std::invalid_argument("missing arguments for " + a[0]);
        }
    };
    kova::KovaDeskApiClient client(settings);
    const auto& op = a.at(0);
    if (op == "register") {
        need(2);
        const auto r = client.sendInventory(Json::parse(a[1]));
        return {{"device_uid", optionalJson(r.deviceUid)},
                {"support_id", optionalJson(r.supportId)},
                {"public_id", optionalJson(r.publicId)},
                {"has_device_token", r.deviceToken.has_value()}};
    }
    if (op == "heartbeat") {
        need(2);
        client.sendHeartbeat(Json::parse(a[1]));
        return {{"ok", true}};
    }
    if (op == "pending") {
        need(2);
        const auto commands =
            client.pendingCommands(a[1], a.size() > 2 ? std::optional<std::string>(a[2]) : std::nullopt);
        Json list = Json::array();
        for (const auto& c : commands) {
            list.push_back({{"id", c.id}, {"command_type", c.commandType}, {"payload", c.payload}});
        }
        return list;
    }
    if (op == "update-command") {
        need(4);
        client.updateCommand(std::stoll(a[1]), a[2], Json::parse(a[3]));
        return {{"ok", true}};
    }
    if (op == "manifest") {
        need(5);
        const auto m = client.updateManifest(a[1], a[2], a[3], a[4]);
        return {{"version", m.version},
                {"url", m.url},
                {"sha256", optionalJson(m.sha256)},
                {"size_bytes", m.sizeBytes ? Json(*m.sizeBytes) : Json(nullptr)},
                {"silent_args", m.silentArgs}};
    }
    if (op == "chat") {
        need(7);
        const auto at = kova::parseIso8601(a[6]);
        client.sendChatMessage(a[1], {a[2], a[3], a[4], a[5], at.value_or(kova::nowSeconds())});
        return {{"ok", true}};
    }
    if (op == "remote-status") {
        need(4);
        client.updateRemoteStatus(a[1], a[2], a.size() > 4 ? std::optional<std::string>(a[4]) : std::nullopt,
                                  Json::parse(a[3]));
        return {{"ok", true}};
    }
    if (op == "heartbeat-loop") {
        // N sequential heartbeats, on one client (pooled connections) or, with
        // --fresh, a new client and connection for each request.
        need(3);
        const int n = std::stoi(a[1]);
        const bool fresh = a.size() > 3 && a[3] == "--fresh";
        const auto payload = Json::parse(a[2]);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < n; ++i) {
            if (fresh) {
                kova::KovaDeskApiClient(settings).sendHeartbeat(payload);
            } else {
                client.sendHeartbeat(payload);
            }
        }
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        return {{"requests", n},
                {"fresh", fresh},
                {"total_ms", elapsed.count()},
                {"per_request_ms", elapsed.count() / n}};
    }
    if (auto out = runPanelOperation(a, client)) {
        return *out;
    }
    throw std::invalid_argument("unknown operation or missing arguments: " + op);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr
            << "usage: kova-api-probe register|heartbeat|pending|update-command|manifest|chat|remote-status|"
               "heartbeat-loop|ticket|customer-login|customer-notifications ARGS...\n";
        return 2;
    }
    try {
        const auto settings = kova::ViewerSettings::load();
        std::cout << run(args, settings).dump() << '\n';
        return 0;
    } catch (const std::invalid_argument& e) {
        std::cerr << "kova-api-probe: " << e.what() << '\n';
        return 2;
    } catch (const std::exception& e) {
        std::cout << Json{{"error", errorJson(e)}}.dump() << '\n';
        return 1;
    }
}
