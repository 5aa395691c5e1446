#pragma once

namespace velk {

/// Whether this program starts when the user logs in. Called on the main thread.
class LoginItem {
public:
    virtual ~LoginItem() = default;

    /// Never throws: anything unreadable counts as not enabled.
    virtual bool isEnabled() const = 0;
    /// Both throw FileError when the change cannot be made; nothing is half done.
    virtual void registerItem() = 0;
    virtual void unregisterItem() = 0;
};

} // namespace velk
