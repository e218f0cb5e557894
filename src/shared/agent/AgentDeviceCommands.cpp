#include "agent/AgentService.hpp"
#include "agent/SelfUninstall.hpp"
#include "chat/RemoteChatStore.hpp"
#include "core/Strings.hpp"
#include "core/Time.hpp"
#include "core/ViewerLogger.hpp"

namespace kova {

Json AgentService::handleUserNotification(const Json& payload) {
    const auto text = [&payload](const char* key, std::string fallback) {
        return stringMember(payload, key).value_or(std::move(fallback));
    };
    const auto title = text("title", "Kova-Desk");
    const auto message = text("message", "");
    const auto sender = text("sender", "Konsultant");
    const auto publicId = text("public_id", "device-" + stateSnapshot().deviceUid.value_or("mac"));
    std::optional<std::int64_t> chatMessageId;
    if (const auto it = payload.is_object() ? payload.find("chat_message_id") : payload.end();
        payload.is_object() && it != payload.end() && it->is_number()) {
        chatMessageId = jsonInt64(*it);
    }

    if (!trimmed(message).empty()) {
        // The menu bar shows incoming chat files; a blank sender becomes "Konsultant" there.
        RemoteChatStore::saveIncoming(publicId, sender, message);
    }
    ViewerLogger::info("User notification queued for menu bar. title=" + title + " public_id=" + publicId);

    Json result = {
        {"shown", true}, {"title", title}, {"message", message}, {"sender", sender}, {"public_id", publicId}};
    if (chatMessageId) {
        result["chat_message_id"] = *chatMessageId;
    }
    return result;
}

Json AgentService::startSelfUninstall() {
    const auto startedAt = nowSeconds();
    SelfUninstall::startDetached(SelfUninstall::script(), SelfUninstall::logPath());
    ViewerLogger::info("Sekwo Tarnvik macOS self-uninstall was scheduled.");
    return Json{{"platform", "macos"},
                {"uninstall_started", true},
                {"remove_viewer", true},
                {"remove_rustdesk", false},
                {"started_at", formatIso8601(startedAt)}};
}

} // namespace kova
