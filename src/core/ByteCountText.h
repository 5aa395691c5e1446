#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/AppLanguage.h"

namespace velk {

/// A size as the desktop's file manager shows it: decimal units (1 KB = 1000 bytes, as
/// GNOME Files and the Linux disk tools count), bytes below 1 KB, one decimal above, KB,
/// MB and GB only, in the language's own words and decimal separator. Negative sizes
/// are shown as 0: nothing here is a debt.
std::string byteCountText(std::int64_t bytes, AppLanguage language);

/// "39 backups" / "39 бэкапов": the number and its noun in the form the number takes
/// (Russian: one for 1, 21, 31…; few for 2–4, 22–24…; many for the rest and 11–14).
std::string countText(std::int64_t n, AppLanguage language, std::string_view russianOne,
                      std::string_view russianFew, std::string_view russianMany,
                      std::string_view englishOne, std::string_view englishMany);

} // namespace velk
