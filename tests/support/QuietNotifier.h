#pragma once

#include <optional>
#include <string>

#include "platform/Notifier.h"

namespace velk::test {

/// A desktop that shows no notification: it grants or denies permission as the test
/// chooses, and accepts every post without a trace.
class QuietNotifier final : public Notifier {
public:
    explicit QuietNotifier(bool authorized = true) : authorized_(authorized) {}

    NotificationAuthorization authorizationStatus() override {
        return authorized_ ? NotificationAuthorization::authorized
                           : NotificationAuthorization::denied;
    }
    NotificationAuthorizationAnswer requestAuthorization() override { return {authorized_, {}}; }
    std::optional<std::string> post(const std::string&, const std::string&,
                                    const std::string&) override {
        return std::nullopt;
    }

private:
    bool authorized_;
};

} // namespace velk::test
