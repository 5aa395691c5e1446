#include "updater/BundleInfo.h"

#include "updater/UpdateHelperError.h"

#include <fstream>
#include <iterator>
#include <memory>
#include <plist/plist.h>
#include <sys/stat.h>

namespace velk::updater {

namespace {

// An Info.plist is a few kilobytes; anything near this is not one.
constexpr std::uintmax_t maximumPlistSize = 4 * 1024 * 1024;

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<std::string> stringValue(plist_t dictionary, const char* key) {
    plist_t node = plist_dict_get_item(dictionary, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING)
        return std::nullopt;
    std::uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    if (text == nullptr)
        return std::nullopt;
    return std::string(text, length);
}

bool isExecutableFile(const std::filesystem::path& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           (info.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0;
}

// The name is joined to Contents/MacOS and later executed: a name that climbs out of the
// bundle would let a package start a program it does not contain.
bool isPlainFileName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

} // namespace

std::optional<BundleInfo> BundleInfo::read(const std::filesystem::path& bundle) {
    std::error_code error;
    const auto path = bundle / infoPlistPath;
    const auto size = std::filesystem::file_size(path, error);
    if (error || size > maximumPlistSize)
        return std::nullopt;
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::nullopt;
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (!file.good() && !file.eof())
        return std::nullopt;

    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    const PlistPtr owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT)
        return std::nullopt;
    return BundleInfo{stringValue(root, "CFBundleIdentifier"),
                      stringValue(root, "CFBundleShortVersionString"),
                      stringValue(root, "CFBundleExecutable")};
}

void checkBundle(const std::filesystem::path& source, const std::filesystem::path& target,
                 const std::string& expectedVersion) {
    using Kind = UpdateHelperError::Kind;
    const auto sourceInfo = BundleInfo::read(source);
    const auto targetInfo = BundleInfo::read(target);
    if (!sourceInfo || !targetInfo || !sourceInfo->identifier || !targetInfo->identifier ||
        *sourceInfo->identifier != *targetInfo->identifier) {
        throw UpdateHelperError(Kind::bundleMismatch);
    }
    if (sourceInfo->shortVersion != expectedVersion)
        throw UpdateHelperError(Kind::bundleMismatch);
    if (!sourceInfo->executable || !isPlainFileName(*sourceInfo->executable) ||
        !isExecutableFile(source / executableDirectory / *sourceInfo->executable)) {
        throw UpdateHelperError(Kind::updateAppMissing);
    }
}

std::optional<std::filesystem::path> bundleExecutable(const std::filesystem::path& bundle) {
    const auto info = BundleInfo::read(bundle);
    if (!info || !info->executable || !isPlainFileName(*info->executable))
        return std::nullopt;
    return bundle / executableDirectory / *info->executable;
}

} // namespace velk::updater
