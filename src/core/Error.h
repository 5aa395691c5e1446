#pragma once

#include <stdexcept>

namespace velk {

/// Base of every error this project throws; what() is the text for the log.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace velk
