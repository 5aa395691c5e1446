#include "model/OriginalPolicy.h"

#include "model/RawValueTable.h"

namespace velk {

namespace {
struct PolicyRow {
    OriginalPolicy value;
    std::string_view raw;
    std::string_view russian;
    std::string_view english;
};

constexpr std::array<PolicyRow, 2> policyTable = {{
    {OriginalPolicy::keep, "backup", "Сохранять", "Keep"},
    // Read after the row title "Original": the original is not lost but moved to the backups.
    {OriginalPolicy::replace, "replace", "В бэкапы", "To backups"},
}};
} // namespace

std::string_view rawValue(OriginalPolicy policy) {
    return rowFor(policyTable, policy).raw;
}

std::optional<OriginalPolicy> originalPolicyFromRaw(std::string_view raw) {
    return valueForRaw(policyTable, raw);
}

OriginalPolicy originalPolicyFromStored(std::string_view stored) {
    if (stored == "replace" || stored == "remove")
        return OriginalPolicy::replace;
    return OriginalPolicy::keep;
}

std::string_view title(OriginalPolicy policy, AppLanguage language) {
    const auto& row = rowFor(policyTable, policy);
    return language == AppLanguage::russian ? row.russian : row.english;
}

} // namespace velk
