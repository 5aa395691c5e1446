#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velk {

/// A dotted release number such as 2.10.1. Equality compares the component lists as they
/// are, while the ordering pads the shorter list with zeros: 1.2 and 1.2.0 are unequal,
/// yet neither is less than the other.
class AppVersion {
public:
    /// Cuts at the first "-" or "+" (2.3.1-beta and 2.3.1+45 are both 2.3.1), drops empty
    /// pieces between dots and accepts only plain ASCII digits that fit 64 bits. None for
    /// anything else; white space is never trimmed.
    static std::optional<AppVersion> parse(std::string_view text);

    const std::vector<std::int64_t>& components() const { return components_; }

    bool operator==(const AppVersion&) const = default;
    friend bool operator<(const AppVersion& a, const AppVersion& b);

private:
    explicit AppVersion(std::vector<std::int64_t> components)
        : components_(std::move(components)) {}

    std::vector<std::int64_t> components_;
};

} // namespace velk
