#include "update/AppVersion.h"

#include <algorithm>
#include <limits>

namespace velk {

namespace {

std::string_view releasePart(std::string_view text) {
    // The first non-empty piece between "-" and "+" separators, so "-1.2" still reads 1.2.
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of("-+", start), text.size());
        if (end > start)
            return text.substr(start, end - start);
        start = end + 1;
    }
    return {};
}

std::optional<std::int64_t> decimal(std::string_view digits) {
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const int digit = c - '0';
        if (value > (std::numeric_limits<std::int64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

} // namespace

std::optional<AppVersion> AppVersion::parse(std::string_view text) {
    const std::string_view release = releasePart(text);
    std::vector<std::int64_t> components;
    std::size_t start = 0;
    while (start <= release.size()) {
        const std::size_t end = std::min(release.find('.', start), release.size());
        if (end > start) {
            const auto value = decimal(release.substr(start, end - start));
            if (!value)
                return std::nullopt;
            components.push_back(*value);
        }
        start = end + 1;
    }
    if (components.empty())
        return std::nullopt;
    return AppVersion(std::move(components));
}

bool operator<(const AppVersion& a, const AppVersion& b) {
    const std::size_t count = std::max(a.components_.size(), b.components_.size());
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t left = i < a.components_.size() ? a.components_[i] : 0;
        const std::int64_t right = i < b.components_.size() ? b.components_[i] : 0;
        if (left != right)
            return left < right;
    }
    return false;
}

} // namespace velk
