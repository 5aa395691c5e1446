#pragma once

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace velk::test {

/// The MozJPEG cjpeg and oxipng the set-up script builds into the project's tool folder.
inline std::filesystem::path projectTool(const std::string& name) {
    return std::filesystem::path(VELK_PROJECT_TOOLS_DIR) / name;
}

/// A VELK_TOOL_DIR folder, in effect while the object lives, whose tools are shell
/// scripts that record every run's arguments before doing what the test asks.
class FakeToolFolder {
public:
    explicit FakeToolFolder(std::filesystem::path folder)
        : folder_(std::move(folder)), env_("VELK_TOOL_DIR", makeFolder(folder_).native()) {}

    /// A tool that records its run, then runs `body` (a shell fragment; "$@" are the
    /// arguments, $out the value after "-outfile"/"-o"/"--output", $last the last one).
    void add(const std::string& name, const std::string& body) {
        const auto script = folder_ / name;
        std::ofstream(script, std::ios::trunc)
            << "#!/bin/sh\n"
            // One append per run, so runs of the same tool side by side never interleave.
            << "printf '%s\\n' \"$@\" '--end--' >> '" << log(name).native() << "'\n"
            << "prev=; out=; last=\n"
            << "for a in \"$@\"; do case \"$prev\" in -outfile|-o|--output) out=$a;; esac; "
               "prev=$a; last=$a; done\n"
            << body << "\n";
        std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    }

    /// A tool that records its run and hands it to the real program.
    void delegate(const std::string& name, const std::filesystem::path& real) {
        add(name, "exec '" + real.native() + "' \"$@\"");
    }

    /// Every recorded run's arguments, in order.
    std::vector<std::vector<std::string>> runs(const std::string& name) const {
        std::vector<std::vector<std::string>> runs(1);
        std::ifstream in(log(name));
        for (std::string line; std::getline(in, line);) {
            if (line == "--end--")
                runs.emplace_back();
            else
                runs.back().push_back(line);
        }
        runs.pop_back();
        return runs;
    }

    const std::filesystem::path& path() const { return folder_; }

private:
    static const std::filesystem::path& makeFolder(const std::filesystem::path& folder) {
        std::filesystem::create_directories(folder);
        return folder;
    }
    std::filesystem::path log(const std::string& name) const { return folder_ / (name + ".runs"); }

    std::filesystem::path folder_;
    ScopedEnv env_;
};

/// The names in `folder` that an encoder call may have left behind.
inline std::vector<std::string> scratchLeftIn(const std::filesystem::path& folder) {
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().native();
        if (name.find(".velk-temp") != std::string::npos)
            left.push_back(name);
    }
    return left;
}

} // namespace velk::test
