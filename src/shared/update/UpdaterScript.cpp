#include "update/UpdaterScript.hpp"

#include "core/Payload.hpp"
#include "core/ShellQuote.hpp"

#include <array>
#include <utility>

namespace kova {
namespace {

std::string quotedJson(std::string_view text) {
    return shellQuoted(jsonLiteral(text));
}

constexpr std::string_view failedMessage = "Aktualizacja nie powiodła się. Szczegóły są w logu aktualizacji.";
constexpr std::string_view healthCheckFailedMessage =
    "Aktualizacja została zainstalowana, ale nowa aplikacja nie przeszła kontroli uruchomienia. Przywrócono "
    "poprzednią wersję.";
constexpr std::string_view healthCheckFailedNotRestoredMessage =
    "Aktualizacja została zainstalowana, ale nowa aplikacja nie przeszła kontroli uruchomienia. Nie udało "
    "się "
    "przywrócić poprzedniej wersji. Szczegóły są w logu aktualizacji.";
constexpr std::string_view interruptedRestoredMessage =
    "Poprzednia aktualizacja została przerwana. Przywrócono poprzednią wersję.";
constexpr std::string_view interruptedNotRestoredMessage =
    "Poprzednia aktualizacja została przerwana, a poprzedniej wersji nie udało się przywrócić. Szczegóły są "
    "w "
    "logu aktualizacji.";

// The error handler's user texts by the failing command's exit code (curl's
// own codes for the download, the script's own for the package checks).
const std::array<std::pair<std::string_view, std::string_view>, 8>& failureMessages() {
    static const std::array<std::pair<std::string_view, std::string_view>, 8> table = {{
        {"6|7",
         "Nie udało się pobrać aktualizacji, ponieważ nie można połączyć się z serwerem. Sprawdź Internet "
         "i spróbuj ponownie."},
        {"22",
         "Nie udało się pobrać aktualizacji: serwer nie udostępnił paczki (HTTP 4xx/5xx). Spróbuj ponownie "
         "później."},
        {"28", "Nie udało się pobrać aktualizacji, ponieważ przekroczono czas oczekiwania na serwer. Spróbuj "
               "ponownie."},
        {"35|51|60", "Nie udało się bezpiecznie pobrać aktualizacji. Połączenie HTTPS z serwerem nie zostało "
                     "zweryfikowane."},
        {"40", "Aktualizacja nie została pobrana w całości. Spróbuj uruchomić aktualizację ponownie."},
        {"41",
         "Aktualizacja została przerwana: rozmiar pobranej paczki nie zgadza się z manifestem serwera."},
        {"42", "Aktualizacja została przerwana: kontrola SHA-256 pobranej paczki nie powiodła się."},
        {"43", healthCheckFailedMessage},
    }};
    return table;
}

// The fixed variables after the generated ones; BACKUP_DIR follows them.
constexpr std::string_view fixedVariables = R"SCRIPT(CURRENT_APP="/Applications/Sekwo Tarnvik.app"
INSTALL_DIR="/Library/Application Support/Sekwo Tarnvik"
AGENT_PLIST="/Library/LaunchAgents/pl.tarnvik.sekwo.menubar.plist"
DAEMON_PLIST="/Library/LaunchDaemons/pl.tarnvik.sekwo.daemon.plist"
BACKUP_ROOT="$INSTALL_DIR/update-backups"
)SCRIPT";

// The functions of both the updater and the rollback of an interrupted update.
constexpr std::string_view sharedFunctions = R"SCRIPT(
kill_menu_processes() {
  /usr/bin/pkill -f '^/Applications/Sekwo Tarnvik\.app/Contents/MacOS/Sekwo Tarnvik( |$)' >/dev/null 2>&1 || true
  /usr/bin/pkill -f '^/Applications/Kova-Viewer[^/]*\.app/Contents/MacOS/[^/]+( |$)' >/dev/null 2>&1 || true
  /usr/bin/pkill -f '^/Applications/Centrum Sekwo Tarnvik[^/]*\.app/Contents/MacOS/[^/]+( |$)' >/dev/null 2>&1 || true
}

start_menu_bar() {
  CONSOLE_USER="$(/usr/bin/stat -f %Su /dev/console 2>/dev/null || true)"
  if [ -z "$CONSOLE_USER" ] || [ "$CONSOLE_USER" = "root" ] || [ "$CONSOLE_USER" = "loginwindow" ]; then
    return 0
  fi
  CONSOLE_UID="$(/usr/bin/id -u "$CONSOLE_USER" 2>/dev/null || true)"
  if [ -z "$CONSOLE_UID" ]; then
    return 0
  fi
  /bin/launchctl bootout "gui/$CONSOLE_UID" "$AGENT_PLIST" >/dev/null 2>&1 || true
  /bin/launchctl bootstrap "gui/$CONSOLE_UID" "$AGENT_PLIST" >/dev/null 2>&1 || true
  /bin/launchctl enable "gui/$CONSOLE_UID/pl.tarnvik.sekwo.menubar" >/dev/null 2>&1 || true
  /bin/launchctl kickstart -kp "gui/$CONSOLE_UID/pl.tarnvik.sekwo.menubar" >/dev/null 2>&1 || true
  /bin/sleep 1
  MENU_BAR_STATE="$(/bin/launchctl print "gui/$CONSOLE_UID/pl.tarnvik.sekwo.menubar" 2>/dev/null || true)"
  if [[ "$MENU_BAR_STATE" != *"state = running"* ]]; then
    /bin/launchctl asuser "$CONSOLE_UID" /usr/bin/open -gj "$CURRENT_APP" --args --menubar >/dev/null 2>&1 || true
  fi
}

console_uid() {
  /usr/bin/stat -f %u /dev/console 2>/dev/null || true
}

# Only a backup marked complete is ever restored: one cut short (a full disk)
# holds a truncated archive that would replace a working application.
restore_previous_installation() {
  if [ ! -d "$BACKUP_DIR" ]; then
    echo "No previous installation backup to restore."
    return 0
  fi
  if [ ! -f "$BACKUP_DIR/complete" ]; then
    echo "The backup in $BACKUP_DIR is not complete: nothing is restored from it."
    return 1
  fi
  echo "Restoring previous Sekwo Tarnvik installation from $BACKUP_DIR"
  kill_menu_processes
  /bin/launchctl bootout system/pl.tarnvik.sekwo.daemon >/dev/null 2>&1 || true
  RESTORE_UID="$(console_uid)"
  if [ -n "$RESTORE_UID" ] && [ "$RESTORE_UID" != "0" ]; then
    /bin/launchctl bootout "gui/$RESTORE_UID" "$AGENT_PLIST" >/dev/null 2>&1 || true
    /bin/launchctl bootout "gui/$RESTORE_UID/pl.tarnvik.sekwo.menubar" >/dev/null 2>&1 || true
  fi
  if [ -f "$BACKUP_APP_ARCHIVE" ]; then
    if ! { /bin/rm -rf "$CURRENT_APP" && /usr/bin/tar -xpf "$BACKUP_APP_ARCHIVE" -C /Applications; }; then
      echo "Could not restore the previous app bundle."
      return 1
    fi
    /bin/chmod -R go+rX "$CURRENT_APP" >/dev/null 2>&1 || true
  fi
  if [ -f "$BACKUP_DIR/SekwoAgent" ]; then
    /bin/mkdir -p "$INSTALL_DIR" && /bin/cp -p "$BACKUP_DIR/SekwoAgent" "$INSTALL_DIR/SekwoAgent" &&
      /bin/chmod 755 "$INSTALL_DIR/SekwoAgent"
  fi
  for PLIST_PATH in "$DAEMON_PLIST" "$AGENT_PLIST"; do
    if [ -f "$BACKUP_DIR/${PLIST_PATH##*/}" ]; then
      /bin/cp "$BACKUP_DIR/${PLIST_PATH##*/}" "$PLIST_PATH" && chown root:wheel "$PLIST_PATH" &&
        /bin/chmod 644 "$PLIST_PATH"
    fi
  done
  /bin/launchctl bootstrap system "$DAEMON_PLIST" >/dev/null 2>&1 || true
  /bin/launchctl kickstart -kp system/pl.tarnvik.sekwo.daemon >/dev/null 2>&1 || true
  start_menu_bar
  if [ -f "$BACKUP_DIR/had-app" ] && [ ! -x "$CURRENT_APP/Contents/MacOS/Sekwo Tarnvik" ]; then
    echo "Previous app bundle was not restored."
    return 1
  fi
  if [ -f "$BACKUP_DIR/had-agent" ] && [ ! -x "$INSTALL_DIR/SekwoAgent" ]; then
    echo "Previous daemon was not restored."
    return 1
  fi
  return 0
}

cleanup_updater_files() {
  /bin/rm -f "$UPDATER_SCRIPT" >/dev/null 2>&1 || true
  /bin/rm -f "$UPDATER_PLIST" >/dev/null 2>&1 || true
}

# The runtime directory is world-writable: the status goes to a file that
# mktemp creates exclusively there, which is then renamed over the target.
write_status() {
  /bin/mkdir -p "$RUNTIME_DIR" >/dev/null 2>&1 || true
  /bin/chmod 1777 "$RUNTIME_DIR" >/dev/null 2>&1 || true
  if [ -d "$STATUS_PATH" ]; then
    echo "Update status path is a directory: $STATUS_PATH"
    return 1
  fi
  STATUS_TMP="$(/usr/bin/mktemp "$RUNTIME_DIR/.update-status.XXXXXXXX")" || return 1
  if ! {
    printf '%s\n' "{"
    printf '  "phase": "%s",\n' "$1"
    printf '  "message": %s,\n' "$2"
    printf '  "currentVersion": %s,\n' "$CURRENT_VERSION_JSON"
    printf '  "availableVersion": %s,\n' "$AVAILABLE_VERSION_JSON"
    printf '  "updatedAt": "%s",\n' "$(/bin/date -u +%Y-%m-%dT%H:%M:%SZ)"
    printf '  "logPath": %s\n' "$LOG_PATH_JSON"
    printf '%s\n' "}"
  } >"$STATUS_TMP"; then
    /bin/rm -f "$STATUS_TMP"
    return 1
  fi
  /bin/chmod 666 "$STATUS_TMP" >/dev/null 2>&1 || true
  if ! /bin/mv -f "$STATUS_TMP" "$STATUS_PATH"; then
    /bin/rm -f "$STATUS_TMP"
    return 1
  fi
}
)SCRIPT";

// The functions only an update uses.
constexpr std::string_view updateFunctions = R"SCRIPT(
cleanup_legacy_installation() {
  /bin/launchctl bootout system "/Library/LaunchDaemons/pl.wexley.kovadesk.viewer.daemon.plist" >/dev/null 2>&1 || true
  LEGACY_UID="$(console_uid)"
  if [ -n "$LEGACY_UID" ] && [ "$LEGACY_UID" != "0" ]; then
    /bin/launchctl bootout "gui/$LEGACY_UID" "/Library/LaunchAgents/pl.wexley.kovadesk.viewer.menubar.plist" >/dev/null 2>&1 || true
    /bin/launchctl bootout "gui/$LEGACY_UID/pl.wexley.kovadesk.viewer.menubar" >/dev/null 2>&1 || true
  fi
  /bin/rm -f "/Library/LaunchDaemons/pl.wexley.kovadesk.viewer.daemon.plist" >/dev/null 2>&1 || true
  /bin/rm -f "/Library/LaunchAgents/pl.wexley.kovadesk.viewer.menubar.plist" >/dev/null 2>&1 || true
  /bin/rm -rf "/Library/Application Support/Kova-Desk Viewer" >/dev/null 2>&1 || true
  remove_obsolete_app_bundles
  /usr/sbin/pkgutil --forget pl.wexley.kovadesk.viewer >/dev/null 2>&1 || true
}

remove_obsolete_app_bundles() {
  for APPS_DIR in /Applications /Users/*/Applications; do
    # A user's own folder may be a link to anywhere: root does not follow it.
    if [ -d "$APPS_DIR" ] && [ ! -L "$APPS_DIR" ]; then
      /bin/rm -rf "$APPS_DIR/Sekwo Tarnvik.localized" >/dev/null 2>&1 || true
      /bin/rm -rf "$APPS_DIR/Sekwo Classic.app" >/dev/null 2>&1 || true
      /bin/rm -rf "$APPS_DIR/Kova-Viewer.app" >/dev/null 2>&1 || true
      /bin/rm -rf "$APPS_DIR/Centrum Sekwo Tarnvik.app" >/dev/null 2>&1 || true
    fi
  done
}

# A complete backup left by an update that never ended (its job was killed
# half way) is the last installation known to work: it stays the restore
# point and is not replaced by a backup of what the interrupted update left.
# Otherwise the backup is marked complete only after every step succeeded,
# the archive reads back and the data reached the disk.
backup_current_installation() {
  for EXISTING_BACKUP in "$BACKUP_ROOT"/*; do
    if [ -d "$EXISTING_BACKUP" ] && [ ! -L "$EXISTING_BACKUP" ] && [ -f "$EXISTING_BACKUP/complete" ]; then
      BACKUP_DIR="$EXISTING_BACKUP"
      BACKUP_APP_ARCHIVE="$BACKUP_DIR/Sekwo-Tarnvik-app.tar"
      BACKUP_ADOPTED=1
      echo "Keeping the backup of an interrupted update as the restore point: $BACKUP_DIR"
      return 0
    fi
  done
  /bin/rm -rf "$BACKUP_ROOT" >/dev/null 2>&1 || true
  /bin/mkdir -p "$BACKUP_DIR"
  if [ -d "$CURRENT_APP" ]; then
    /usr/bin/tar -cpf "$BACKUP_APP_ARCHIVE" -C /Applications "Sekwo Tarnvik.app"
    /usr/bin/tar -tf "$BACKUP_APP_ARCHIVE" >/dev/null
    : >"$BACKUP_DIR/had-app"
  fi
  if [ -x "$INSTALL_DIR/SekwoAgent" ]; then
    /bin/cp -p "$INSTALL_DIR/SekwoAgent" "$BACKUP_DIR/SekwoAgent"
    : >"$BACKUP_DIR/had-agent"
  fi
  if [ -f "$DAEMON_PLIST" ]; then
    /bin/cp -p "$DAEMON_PLIST" "$BACKUP_DIR/pl.tarnvik.sekwo.daemon.plist"
  fi
  if [ -f "$AGENT_PLIST" ]; then
    /bin/cp -p "$AGENT_PLIST" "$BACKUP_DIR/pl.tarnvik.sekwo.menubar.plist"
  fi
  /bin/sync
  printf '%s\n' "$AVAILABLE_VERSION_JSON" >"$BACKUP_DIR/complete.tmp"
  /bin/mv -f "$BACKUP_DIR/complete.tmp" "$BACKUP_DIR/complete"
  echo "Backup prepared: $BACKUP_DIR"
}

# A failure before the installer ran changed nothing: the installation stays
# as it is, and only this run's own backup goes (giving a full disk its space
# back), never one kept from an interrupted update.
discard_unused_backup() {
  if [ "$BACKUP_ADOPTED" = 1 ]; then
    echo "Nothing was installed; the backup of the interrupted update stays in $BACKUP_DIR."
  elif [ -d "$BACKUP_DIR" ]; then
    echo "Nothing was installed; removing the unused backup $BACKUP_DIR."
    /bin/rm -rf "$BACKUP_DIR" >/dev/null 2>&1 || true
  else
    echo "No previous installation backup to restore."
  fi
}

daemon_is_running() {
  DAEMON_STATE="$(/bin/launchctl print system/pl.tarnvik.sekwo.daemon 2>/dev/null || true)"
  [[ "$DAEMON_STATE" == *"state = running"* ]]
}

verify_new_installation() {
  if [ ! -x "$CURRENT_APP/Contents/MacOS/Sekwo Tarnvik" ]; then
    echo "New app executable is missing."
    return 1
  fi
  if [ ! -x "$INSTALL_DIR/SekwoAgent" ]; then
    echo "New daemon executable is missing."
    return 1
  fi
  INSTALLED_VERSION="$(/usr/libexec/PlistBuddy -c "Print :CFBundleShortVersionString" "$CURRENT_APP/Contents/Info.plist" 2>/dev/null || true)"
  if [ "$INSTALLED_VERSION" != "$AVAILABLE_VERSION_RAW" ]; then
    echo "Installed app version mismatch: expected $AVAILABLE_VERSION_RAW got ${INSTALLED_VERSION:-empty}"
    return 1
  fi
  APP_BINARY_VERSION="$("$CURRENT_APP/Contents/MacOS/Sekwo Tarnvik" --version 2>/dev/null || true)"
  if [ "$APP_BINARY_VERSION" != "$AVAILABLE_VERSION_RAW" ]; then
    echo "Installed app binary version mismatch: expected $AVAILABLE_VERSION_RAW got ${APP_BINARY_VERSION:-empty}"
    return 1
  fi
  DAEMON_BINARY_VERSION="$("$INSTALL_DIR/SekwoAgent" --version 2>/dev/null || true)"
  if [ "$DAEMON_BINARY_VERSION" != "$AVAILABLE_VERSION_RAW" ]; then
    echo "Installed daemon binary version mismatch: expected $AVAILABLE_VERSION_RAW got ${DAEMON_BINARY_VERSION:-empty}"
    return 1
  fi
  ATTEMPT=0
  while [ "$ATTEMPT" -lt 15 ]; do
    ATTEMPT=$((ATTEMPT + 1))
    if daemon_is_running; then
      /bin/sleep 3
      if daemon_is_running; then
        return 0
      fi
    else
      /bin/launchctl kickstart -kp system/pl.tarnvik.sekwo.daemon >/dev/null 2>&1 || true
      /bin/sleep 1
    fi
  done
  echo "New daemon did not reach running state."
  return 1
}

cleanup_successful_update() {
  /bin/rm -rf "$BACKUP_ROOT" >/dev/null 2>&1 || true
  for PACKAGE_FILE in "$UPDATE_DIR"/Sekwo-Tarnvik-macOS-*.pkg; do
    if [ -f "$PACKAGE_FILE" ]; then
      /bin/rm -f "$PACKAGE_FILE" >/dev/null 2>&1 || true
    fi
  done
  remove_obsolete_app_bundles
}
)SCRIPT";

class ScriptText {
public:
    ScriptText() : text_("#!/bin/bash\nset -e\n\n") {}
    void assign(std::string_view name, const std::string& word) {
        text_.append(name).append("=").append(word).append("\n");
    }
    ScriptText& operator+=(std::string_view more) {
        text_ += more;
        return *this;
    }
    std::string take() { return std::move(text_); }

private:
    std::string text_;
};

} // namespace

std::string updaterScript(const UpdaterScriptInputs& in) {
    const auto& v = in.manifestVersion;
    ScriptText s;
    s.assign("UPDATE_DIR", shellQuoted(in.updatesDirectory));
    s.assign("RUNTIME_DIR", shellQuoted(in.runtimeDirectory));
    s.assign("STATUS_PATH", shellQuoted(in.statusPath));
    s.assign("UPDATER_SCRIPT", shellQuoted(in.scriptPath));
    s.assign("UPDATER_PLIST", shellQuoted(in.jobPropertyListPath));
    s.assign("PKG_PATH", shellQuoted(in.packagePath));
    // launchd sends the script's output there; the script itself only names it.
    s += "# shellcheck disable=SC2034\n";
    s.assign("LOG_PATH", shellQuoted(in.updateLogPath));
    s.assign("PKG_URL", shellQuoted(in.packageUrl));
    s.assign("EXPECTED_SHA", shellQuoted(in.sha256));
    s.assign("EXPECTED_SIZE", std::to_string(in.sizeBytes));
    s.assign("CURRENT_VERSION_JSON", quotedJson(in.scriptCurrentVersion));
    s.assign("AVAILABLE_VERSION_JSON", quotedJson(v));
    s.assign("AVAILABLE_VERSION_RAW", shellQuoted(v));
    s.assign("BACKUP_VERSION", shellQuoted(in.safeVersion));
    s.assign("LOG_PATH_JSON", quotedJson(in.updateLogPath));
    s.assign("DOWNLOADING_MESSAGE_JSON", quotedJson("Pobieram aktualizację do wersji " + v + "..."));
    s.assign("INSTALLING_MESSAGE_JSON", quotedJson("Instaluję aktualizację do wersji " + v + "..."));
    s.assign("INSTALLED_MESSAGE_JSON",
             quotedJson("Aktualizacja do wersji " + v +
                        " została zainstalowana. Aplikacja uruchamia się ponownie."));
    s.assign("FAILED_MESSAGE_JSON", quotedJson(failedMessage));
    s += fixedVariables;
    s += R"SCRIPT(BACKUP_DIR="$BACKUP_ROOT/$BACKUP_VERSION-$(/bin/date -u +%Y%m%d%H%M%S)"
BACKUP_APP_ARCHIVE="$BACKUP_DIR/Sekwo-Tarnvik-app.tar"
BACKUP_ADOPTED=0
INSTALL_STARTED=0
)SCRIPT";
    s += sharedFunctions;
    s += updateFunctions;

    s += "\non_update_error() {\n"
         "  EXIT_CODE=\"$1\"\n"
         "  trap - ERR\n"
         "  set +e\n"
         "  echo \"Update failed with exit code $EXIT_CODE.\"\n"
         "  case \"$EXIT_CODE\" in\n";
    for (const auto& [codes, message] : failureMessages()) {
        s += "    ";
        s += codes;
        s += ") FAILURE_MESSAGE_JSON=" + quotedJson(message) + " ;;\n";
    }
    s += R"SCRIPT(    *) FAILURE_MESSAGE_JSON="$FAILED_MESSAGE_JSON" ;;
  esac
  if [ "$INSTALL_STARTED" = 1 ]; then
    if restore_previous_installation; then
      /bin/rm -rf "$BACKUP_ROOT" >/dev/null 2>&1 || true
    fi
  else
    discard_unused_backup
  fi
  write_status failed "$FAILURE_MESSAGE_JSON" || true
  cleanup_updater_files
  exit "$EXIT_CODE"
}

set -o errtrace
trap 'on_update_error "$?"' ERR

)SCRIPT";

    s += "echo \"==== $(/bin/date -u +%Y-%m-%dT%H:%M:%SZ) Sekwo Tarnvik macOS update \"" +
         shellQuoted(in.ownVersion) + "\" -> $AVAILABLE_VERSION_RAW, reason=\"" + shellQuoted(in.reason) +
         "\" ====\"\n";
    // The hash is read from standard input: given a file name, shasum escapes
    // one holding a back-slash or a line feed and marks its output with "\".
    s += R"SCRIPT(/bin/mkdir -p "$UPDATE_DIR"
write_status downloading "$DOWNLOADING_MESSAGE_JSON"
/usr/bin/curl --proto =https --tlsv1.2 -fL --retry 3 --connect-timeout 20 --max-time 900 -o "$PKG_PATH" "$PKG_URL"

if [ ! -f "$PKG_PATH" ]; then
  echo "Downloaded package is missing."
  on_update_error 40
fi
ACTUAL_SIZE="$(/usr/bin/stat -f %z "$PKG_PATH")"
if [ "$ACTUAL_SIZE" != "$EXPECTED_SIZE" ]; then
  echo "Package size mismatch: expected $EXPECTED_SIZE got $ACTUAL_SIZE"
  on_update_error 41
fi
ACTUAL_SHA="$(/usr/bin/shasum -a 256 <"$PKG_PATH")"
ACTUAL_SHA="${ACTUAL_SHA%% *}"
if [ "$ACTUAL_SHA" != "$EXPECTED_SHA" ]; then
  echo "SHA-256 mismatch: expected $EXPECTED_SHA got $ACTUAL_SHA"
  on_update_error 42
fi

backup_current_installation
write_status installing "$INSTALLING_MESSAGE_JSON"
INSTALL_STARTED=1
/usr/sbin/installer -pkg "$PKG_PATH" -target /
cleanup_legacy_installation
kill_menu_processes
LSREGISTER="/System/Library/Frameworks/CoreServices.framework/Frameworks/LaunchServices.framework/Support/lsregister"
if [ -x "$LSREGISTER" ]; then
  "$LSREGISTER" -f "$CURRENT_APP" >/dev/null 2>&1 || true
fi
/bin/launchctl kickstart -k system/pl.tarnvik.sekwo.daemon >/dev/null 2>&1 || true
start_menu_bar

if ! verify_new_installation; then
  echo "New installation healthcheck failed."
  trap - ERR
  set +e
  if restore_previous_installation; then
    /bin/rm -rf "$BACKUP_ROOT" >/dev/null 2>&1 || true
)SCRIPT";
    s += "    write_status failed " + quotedJson(healthCheckFailedMessage) + " || true\n";
    s += "  else\n";
    s += "    write_status failed " + quotedJson(healthCheckFailedNotRestoredMessage) + " || true\n";
    s += R"SCRIPT(  fi
  cleanup_updater_files
  exit 43
fi

cleanup_successful_update
write_status installed "$INSTALLED_MESSAGE_JSON"
echo "Update completed."
cleanup_updater_files
exit 0
)SCRIPT";
    return s.take();
}

std::string restoreScript(const RestoreScriptInputs& in) {
    ScriptText s;
    s.assign("RUNTIME_DIR", shellQuoted(in.runtimeDirectory));
    s.assign("STATUS_PATH", shellQuoted(in.statusPath));
    s.assign("UPDATER_SCRIPT", shellQuoted(in.scriptPath));
    s.assign("UPDATER_PLIST", shellQuoted(in.jobPropertyListPath));
    s.assign("CURRENT_VERSION_JSON", quotedJson(in.currentVersion));
    s.assign("AVAILABLE_VERSION_JSON",
             in.availableVersion ? quotedJson(*in.availableVersion) : std::string("null"));
    s.assign("LOG_PATH_JSON", quotedJson(in.updateLogPath));
    s += fixedVariables;
    s.assign("BACKUP_DIR", shellQuoted(in.backupDirectory));
    s += "BACKUP_APP_ARCHIVE=\"$BACKUP_DIR/Sekwo-Tarnvik-app.tar\"\n";
    s += sharedFunctions;
    // The attempt is recorded first: a rollback that fails (or is itself cut
    // short) is not started again at every start of the daemon; the next
    // update keeps the backup as its restore point instead.
    s += R"SCRIPT(
echo "==== $(/bin/date -u +%Y-%m-%dT%H:%M:%SZ) Sekwo Tarnvik macOS rollback of an interrupted update from $BACKUP_DIR ===="
: >"$BACKUP_DIR/restore-attempted" || true
if restore_previous_installation; then
  /bin/rm -rf "$BACKUP_ROOT" >/dev/null 2>&1 || true
)SCRIPT";
    s += "  write_status failed " + quotedJson(interruptedRestoredMessage) + " || true\n";
    s += "  echo \"Rollback completed.\"\n"
         "  RESULT=0\n"
         "else\n";
    s += "  write_status failed " + quotedJson(interruptedNotRestoredMessage) + " || true\n";
    s += R"SCRIPT(  echo "Rollback failed; the backup stays in $BACKUP_DIR for the next update."
  RESULT=1
fi
cleanup_updater_files
exit "$RESULT"
)SCRIPT";
    return s.take();
}

} // namespace kova
