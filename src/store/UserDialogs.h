#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velk {

/// The few things the store's commands need from the desktop: a folder dialog, alerts with
/// buttons, the file manager and the browser. Implemented with the GUI toolkit in the
/// program and in memory in tests. Everything is called on the main thread.
class UserDialogs {
public:
    /// A window of the implementation's toolkit (a QWidget* in the program), or null. The
    /// store only passes it through.
    using Window = void*;

    enum class AlertStyle { informational, warning };
    struct Alert {
        AlertStyle style = AlertStyle::informational;
        std::string message;
        std::string informativeText;
        /// At least one; the last is also the answer to Escape and to closing the alert.
        std::vector<std::string> buttons;
        /// Index of the button Enter presses: the harmless one for an irreversible action.
        std::size_t defaultButton = 0;
    };
    /// Index into Alert::buttons of the pressed button.
    using AlertCompletion = std::function<void(int button)>;

    virtual ~UserDialogs() = default;

    /// Shown as a sheet on `window` when it is given and visible, else application-modal.
    /// May return before the user answers; the completion runs once with the answer.
    virtual void showAlert(const Alert& alert, Window window, AlertCompletion completion) = 0;
    /// The desktop's own alert for a failed operation, with the error's description.
    virtual void showError(const std::string& description, Window window) = 0;

    /// A folder dialog (folders only, may create folders, one selection) opening in
    /// `start`. The completion gets the chosen folder, or none when cancelled.
    virtual void chooseFolder(const std::string& title, const std::filesystem::path& start,
                              Window window,
                              std::function<void(std::optional<std::filesystem::path>)> done) = 0;

    /// Opens a folder in the file manager. False when nothing could open it.
    virtual bool openFolder(const std::filesystem::path& folder) = 0;
    /// Opens a web address in the default browser. False when nothing could open it.
    virtual bool openURL(const std::string& url) = 0;

    /// Brings the program's windows to the front.
    virtual void activate() = 0;
    /// Ends the program through the normal quit path (the engine stops first).
    virtual void terminate() = 0;
};

} // namespace velk
