#pragma once

#include <string>

#include "core/Error.h"

namespace velk {

/// A configuration or history file that cannot be used as a whole. Loaders catch it and
/// fall back to defaults; what() names the offending key for the log.
class RecordDecodeError : public Error {
public:
    enum class Kind { syntax, wrongType, badValue, missingKey };

    RecordDecodeError(Kind kind, const std::string& message) : Error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

} // namespace velk
