#include "platform/FileSystem.hpp"
#include "platform/darwin/CFPtr.hpp"

#include <CoreFoundation/CoreFoundation.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kova::platform {

VolumeDetails volumeDetails(const std::filesystem::path& path) {
    VolumeDetails details;
    // The URL must say what the entry is: one made as a directory URL for a
    // file (or a dangling link) answers no resource value at all. Volumes
    // are usually links ("/Volumes/Macintosh HD" to "/"), so they are followed.
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return details;
    }
    details.isDirectory = S_ISDIR(info.st_mode);
    const auto& native = path.native();
    CFPtr<CFURLRef> url(
        CFURLCreateFromFileSystemRepresentation(nullptr, reinterpret_cast<const UInt8*>(native.data()),
                                                static_cast<CFIndex>(native.size()), *details.isDirectory));
    if (!url) {
        return details;
    }
    const void* keys[] = {kCFURLIsDirectoryKey, kCFURLVolumeLocalizedNameKey, kCFURLVolumeTotalCapacityKey,
                          kCFURLVolumeAvailableCapacityKey};
    CFPtr<CFArrayRef> keyArray(CFArrayCreate(nullptr, keys, 4, &kCFTypeArrayCallBacks));
    CFPtr<CFDictionaryRef> values(CFURLCopyResourcePropertiesForKeys(url.get(), keyArray.get(), nullptr));
    if (!values) {
        return details;
    }
    if (const auto flag = CFDictionaryGetValue(values.get(), kCFURLIsDirectoryKey);
        flag != nullptr && CFGetTypeID(flag) == CFBooleanGetTypeID()) {
        details.isDirectory = CFBooleanGetValue(static_cast<CFBooleanRef>(flag));
    }
    details.localizedName = fromCFString(CFDictionaryGetValue(values.get(), kCFURLVolumeLocalizedNameKey));
    details.totalBytes = fromCFNumber(CFDictionaryGetValue(values.get(), kCFURLVolumeTotalCapacityKey));
    details.availableBytes =
        fromCFNumber(CFDictionaryGetValue(values.get(), kCFURLVolumeAvailableCapacityKey));
    return details;
}

int renameWithoutReplacing(const std::filesystem::path& from, const std::filesystem::path& to) {
    if (::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0) {
        return 0;
    }
    if (errno != ENOTSUP && errno != EINVAL && errno != ENOSYS) {
        return errno;
    }
    // File systems without the flag (network shares, FAT): a hard link fails
    // just as atomically when the name is taken.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return errno;
    }
    ::unlink(from.c_str());
    return 0;
}

int renameWithoutReplacingAt(int directoryFd, const std::string& from, const std::string& to) {
    return ::renameatx_np(directoryFd, from.c_str(), directoryFd, to.c_str(), RENAME_EXCL) == 0 ? 0 : errno;
}

} // namespace kova::platform
