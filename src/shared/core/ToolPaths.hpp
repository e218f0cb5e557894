#pragma once

// Every tool the two programs run or write into scripts, by fixed absolute
// path: never looked up in PATH; where one is missing its caller falls back.
namespace kova::tools {

inline constexpr const char* ioreg = "/usr/sbin/ioreg";
inline constexpr const char* uname = "/usr/bin/uname";
inline constexpr const char* sysctl = "/usr/sbin/sysctl";
inline constexpr const char* vmStat = "/usr/bin/vm_stat";
inline constexpr const char* pmset = "/usr/bin/pmset";
inline constexpr const char* ifconfig = "/sbin/ifconfig";
inline constexpr const char* socketfilterfw = "/usr/libexec/ApplicationFirewall/socketfilterfw";
inline constexpr const char* fdesetup = "/usr/bin/fdesetup";
inline constexpr const char* csrutil = "/usr/bin/csrutil";
inline constexpr const char* softwareupdate = "/usr/sbin/softwareupdate";
inline constexpr const char* systemProfiler = "/usr/sbin/system_profiler";
inline constexpr const char* dscl = "/usr/bin/dscl";
inline constexpr const char* lpstat = "/usr/bin/lpstat";
inline constexpr const char* mdls = "/usr/bin/mdls";
inline constexpr const char* codesign = "/usr/bin/codesign";
inline constexpr const char* id = "/usr/bin/id";
inline constexpr const char* defaults = "/usr/bin/defaults";
inline constexpr const char* ping = "/sbin/ping";
inline constexpr const char* arp = "/usr/sbin/arp";
inline constexpr const char* dscacheutil = "/usr/bin/dscacheutil";
inline constexpr const char* launchctl = "/bin/launchctl";
inline constexpr const char* pkgutil = "/usr/sbin/pkgutil";
inline constexpr const char* open = "/usr/bin/open";
inline constexpr const char* pgrep = "/usr/bin/pgrep";
inline constexpr const char* sleep = "/bin/sleep";
inline constexpr const char* mkdir = "/bin/mkdir";
inline constexpr const char* cp = "/bin/cp";
inline constexpr const char* chown = "/usr/sbin/chown";
inline constexpr const char* chmod = "/bin/chmod";
inline constexpr const char* mv = "/bin/mv";
inline constexpr const char* rm = "/bin/rm";
inline constexpr const char* zsh = "/bin/zsh";
inline constexpr const char* bash = "/bin/bash";
inline constexpr const char* sh = "/bin/sh";
// The administrator prompt on macOS and on Linux.
inline constexpr const char* osascript = "/usr/bin/osascript";
inline constexpr const char* pkexec = "/usr/bin/pkexec";

} // namespace kova::tools
