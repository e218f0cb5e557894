#pragma once

#include <string_view>

namespace kova::MacViewerBuildInfo {
// The version of both programs, reported to the server and by "--version".
inline constexpr std::string_view version = KOVA_VERSION;
} // namespace kova::MacViewerBuildInfo
