#pragma once

#include <optional>
#include <string>

namespace velk::test {

/// Sets (or unsets, with none) an environment variable and restores it on destruction.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace velk::test
