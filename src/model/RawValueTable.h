#pragma once

#include <cstdlib>
#include <optional>
#include <string_view>

namespace velk {

// Helpers for the enum tables of the settings vocabulary: each table is an array of rows
// with at least `value` and `raw`, and drives both directions so they cannot drift apart.

template <class Table, class Enum> const auto& rowFor(const Table& table, Enum value) {
    for (const auto& row : table) {
        if (row.value == value)
            return row;
    }
    // Every enumerator has a row; reaching here means a table lost one.
    std::abort();
}

template <class Table>
auto valueForRaw(const Table& table, std::string_view raw)
    -> std::optional<decltype(table[0].value)> {
    for (const auto& row : table) {
        if (row.raw == raw)
            return row.value;
    }
    return std::nullopt;
}

} // namespace velk
