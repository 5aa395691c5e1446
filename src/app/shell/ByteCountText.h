#pragma once

#include <cstdint>
#include <string>

#include "model/AppLanguage.h"

namespace velk {

/// A size as the desktop's file manager shows it: decimal units (1 KB = 1000 bytes, as
/// GNOME Files and the Linux disk tools count), bytes below 1 KB, one decimal above, KB,
/// MB and GB only, in the language's own words and decimal separator. Negative sizes
/// are shown as 0: nothing here is a debt.
std::string byteCountText(std::int64_t bytes, AppLanguage language);

} // namespace velk
