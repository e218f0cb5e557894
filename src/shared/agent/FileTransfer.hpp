#pragma once

#include "core/Json.hpp"

#include <cstdint>

// The "file_list", "file_download" and "file_upload" command handlers: browse
// the file system, fetch a file and place a file with the daemon's rights.
// Each takes the command payload and returns the result object, or throws a
// DomainError of "KovaViewerFileTransfer" (400, 404, 409, 413) or the file
// system's own std::system_error. Stateless; any thread may call them, and
// they block it while they touch the disk.
namespace kova::FileTransfer {

inline constexpr const char* errorDomain = "KovaViewerFileTransfer";

Json listFiles(const Json& payload);
// The top level: the fixed roots that exist, then the entries of the volumes folder.
Json listFileRoots(std::int64_t maxItems);
Json downloadFile(const Json& payload);
Json uploadFile(const Json& payload);

} // namespace kova::FileTransfer
