#include "platform/ExtendedAttributes.h"

#include <sys/xattr.h>

namespace velk {

namespace {
// Larger values are none of ours; refusing them keeps a planted attribute from costing
// more than a small read.
constexpr std::size_t maximumValueBytes = 4096;
} // namespace

std::optional<std::string> readExtendedAttribute(const std::filesystem::path& file,
                                                 std::string_view name) {
    const std::string key(name);
    std::string value(maximumValueBytes, '\0');
    const ssize_t count = ::lgetxattr(file.c_str(), key.c_str(), value.data(), value.size());
    if (count < 0)
        return std::nullopt;
    value.resize(static_cast<std::size_t>(count));
    return value;
}

bool writeExtendedAttribute(const std::filesystem::path& file, std::string_view name,
                            std::string_view value) {
    const std::string key(name);
    return ::lsetxattr(file.c_str(), key.c_str(), value.data(), value.size(), 0) == 0;
}

} // namespace velk
