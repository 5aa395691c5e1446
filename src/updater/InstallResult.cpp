#include "updater/InstallResult.h"

#include "updater/TemporaryNames.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <plist/plist.h>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

struct PlistFree {
    void operator()(void* node) const noexcept { plist_free(static_cast<plist_t>(node)); }
};
struct TextFree {
    void operator()(char* text) const noexcept { plist_to_xml_free(text); }
};

} // namespace

void writeInstallResult(const fs::path& file, const std::string& version,
                        const std::optional<std::string>& failure) noexcept {
    try {
        const std::unique_ptr<void, PlistFree> root(plist_new_dict());
        const auto dictionary = static_cast<plist_t>(root.get());
        plist_dict_set_item(dictionary, "Result",
                            plist_new_string(failure ? "failed" : "installed"));
        plist_dict_set_item(dictionary, "Version", plist_new_string(version.c_str()));
        if (failure)
            plist_dict_set_item(dictionary, "Reason", plist_new_string(failure->c_str()));
        char* xml = nullptr;
        std::uint32_t length = 0;
        plist_to_xml(dictionary, &xml, &length);
        const std::unique_ptr<char, TextFree> text(xml);
        if (text == nullptr)
            return;

        std::error_code error;
        fs::create_directories(file.parent_path(), error);
        const fs::path partial =
            file.parent_path() / ("." + file.filename().string() + "-" + randomUuidText());
        {
            std::ofstream out(partial, std::ios::binary | std::ios::trunc);
            out.write(text.get(), length);
            if (!out.flush()) {
                fs::remove(partial, error);
                return;
            }
        }
        fs::rename(partial, file, error);
        if (error)
            fs::remove(partial, error);
    } catch (...) {
    }
}

void removeDownloadedPackage(const fs::path& package) noexcept {
    try {
        const fs::path folder = package.parent_path();
        if (!folder.filename().string().starts_with("VelkCompressor-Update-"))
            return;
        std::error_code error;
        fs::remove(package, error);
        // Only when nothing else is in it: the folder is the main program's, not ours.
        fs::remove(folder, error);
    } catch (...) {
    }
}

} // namespace velk::updater
