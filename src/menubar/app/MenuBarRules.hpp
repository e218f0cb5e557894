#pragma once

#include "config/ViewerState.hpp"

#include <QKeySequence>
#include <QString>

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// The rules of the menu bar application's shell, kept out of the widgets:
// the menu items, the timers and what is announced to the user.
namespace kova::menubar {

enum class MenuAction {
    none,
    showStatusWindow,
    showTicketForm,
    showCustomerTickets,
    sendAuditNow,
    checkUpdatesNow,
    checkChatNow,
    openLog,
    openSettings,
    toggleStatusFullScreen,
    hideApplication,
    quit,
    undo,
    redo,
    cut,
    copy,
    paste,
    selectAll,
};

struct MenuItem {
    bool separator = false;
    QString title;
    QKeySequence shortcut;
    MenuAction action = MenuAction::none;
    bool enabled = true;
    // The object name of the action, for tests and desktop automation.
    QString objectName;
};

struct Menu {
    QString title;
    std::vector<MenuItem> items;
};

// The 13 items of the status item's menu; the first is the daemon's
// connection message or the plain "active" line.
std::vector<MenuItem> statusMenuItems(const ViewerState& state);
// The application's own menus: the application menu and the edit menu.
std::vector<Menu> applicationMenus();

enum class MenuBarTimer { chatPoll, customerNotification, updateStatus, connectionStatus, rustDeskHealth };

struct TimerPeriod {
    MenuBarTimer timer;
    std::chrono::milliseconds period;
};

inline constexpr std::array<TimerPeriod, 5> menuBarTimerPeriods{{
    {MenuBarTimer::chatPoll, std::chrono::milliseconds(2000)},
    {MenuBarTimer::customerNotification, std::chrono::milliseconds(20000)},
    {MenuBarTimer::updateStatus, std::chrono::milliseconds(1500)},
    {MenuBarTimer::connectionStatus, std::chrono::milliseconds(15000)},
    {MenuBarTimer::rustDeskHealth, std::chrono::milliseconds(5400000)},
}};

// Remembers which update phases were announced for which update. Only
// "downloading" and "installing" are announced, each at most once per update
// (per available version) however often the status file flips between them;
// other phases neither announce nor reset the memory. The last few updates
// are kept, so switching back to an earlier version announces nothing again.
class UpdateAnnouncementMemory {
public:
    // True when this phase of this update is to be announced now.
    bool take(const std::string& phase, const std::optional<std::string>& availableVersion);

private:
    struct Update {
        std::optional<std::string> version;
        std::vector<std::string> phases;
    };
    static constexpr std::size_t rememberedUpdates = 8;
    std::deque<Update> updates_; // newest last
};

// Remembers the last connection issue announced. A persisting issue is
// announced once; a check without any issue clears the memory.
class ConnectionAnnouncementMemory {
public:
    bool take(const std::optional<AgentConnectionIssue>& issue);
    const std::optional<AgentConnectionIssue>& announced() const { return announced_; }

private:
    std::optional<AgentConnectionIssue> announced_;
};

// The text of a connection issue's notification: the daemon's message, or
// the issue's own one.
QString connectionAnnouncementText(const ViewerState& state);

} // namespace kova::menubar
