#pragma once

// Every command-line tool the audit runs, by its fixed absolute path. Tools
// are never looked up in PATH; where one is missing its probe falls back.
namespace kova::audit::tools {

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
inline constexpr const char* launchctl = "/bin/launchctl";
inline constexpr const char* defaults = "/usr/bin/defaults";

} // namespace kova::audit::tools
