#include "core/Constants.h"

#include <algorithm>

#include "core/Text.h"

namespace velk {

namespace {
template <std::size_t N>
bool contains(const std::array<std::string_view, N>& set, std::string_view extension) {
    const std::string lower = asciiLowercase(extension);
    return std::find(set.begin(), set.end(), lower) != set.end();
}
} // namespace

bool isSupportedExtension(std::string_view extension) {
    return contains(supportedExtensions, extension);
}
bool isUnsupportedDropExtension(std::string_view extension) {
    return contains(unsupportedDropExtensions, extension);
}
bool isTemporaryExtension(std::string_view extension) {
    return contains(temporaryExtensions, extension);
}

} // namespace velk
