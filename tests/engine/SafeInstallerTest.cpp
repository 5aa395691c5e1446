#include "engine/SafeInstaller.h"

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Constants.h"
#include "core/FileError.h"
#include "support/FaultyFileSystem.h"
#include "support/TempDir.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using test::FaultyFileSystem;
using test::readFile;
using test::TempDir;
using test::writeFile;
using Kind = FolderCompressorControlError::Kind;

constexpr std::string_view originalBytes = "original image bytes";
constexpr std::string_view compressedBytes = "smaller";
constexpr std::string_view earlierOutputBytes = "earlier output";

/// How the engine installs one file: beside the source over an earlier output (keep),
/// over the source itself, or as a converted file that takes the source's place.
enum class Install { besideOverEarlierOutput, sameName, converted };

const char* nameOf(Install install) {
    switch (install) {
    case Install::besideOverEarlierOutput:
        return "beside, over an earlier output";
    case Install::sameName:
        return "same name";
    case Install::converted:
        return "converted";
    }
    return "";
}

Kind controlKindOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const FolderCompressorControlError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "expected a control error";
    return Kind::cancelled;
}

std::vector<fs::path> filesNamedWith(const fs::path& folder, std::string_view marker) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().native().find(marker) != std::string::npos) {
            found.push_back(entry.path());
        }
    }
    return found;
}

/// Contents of every file in the backup folder.
std::vector<std::string> backupContents(const fs::path& watched) {
    std::vector<std::string> contents;
    const fs::path root = watched / backupDirName;
    if (!fs::exists(root))
        return contents;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            contents.push_back(readFile(entry.path()));
    }
    return contents;
}

std::optional<std::string> contentsIfAny(const fs::path& file) {
    if (!fs::is_regular_file(fs::symlink_status(file)))
        return std::nullopt;
    return readFile(file);
}

class SafeInstallerTest : public ::testing::Test {
protected:
    SafeInstallerTest() { control_.setCancellationRequested(false); }

    /// A fresh watched folder holding the source and an encoded temporary output.
    struct Setup {
        fs::path watched;
        fs::path source;
        fs::path output;
        fs::path temp;
        SourceVersion version;
    };
    Setup prepare(Install install, const std::string& name) {
        Setup setup;
        setup.watched = dir_ / name;
        fs::create_directories(setup.watched);
        const bool converted = install == Install::converted;
        setup.source = setup.watched / (converted ? "photo.png" : "photo.jpg");
        writeFile(setup.source, originalBytes);
        setup.output = install == Install::besideOverEarlierOutput
                           ? setup.watched / "photo_velkcompressed.jpg"
                       : converted ? setup.watched / "photo.webp"
                                   : setup.source;
        if (install == Install::besideOverEarlierOutput)
            writeFile(setup.output, earlierOutputBytes);
        setup.temp = SafeInstaller::tempURL(setup.output, tempFileMarker);
        writeFile(setup.temp, compressedBytes);
        setup.version = sourceVersion(fs_, control_, setup.source);
        return setup;
    }

    /// The engine's destructive sequence for one install.
    void run(Install install, const Setup& setup) {
        switch (install) {
        case Install::besideOverEarlierOutput:
            installer_.replaceOutputFile(setup.temp, setup.output);
            return;
        case Install::sameName:
            installer_.backup(setup.source, setup.version, setup.watched);
            installer_.replaceOriginalSafely(setup.temp, setup.source, setup.version);
            return;
        case Install::converted:
            installer_.backup(setup.source, setup.version, setup.watched);
            installer_.replaceConvertedOriginalSafely(setup.temp, setup.output, setup.source,
                                                      setup.version);
            return;
        }
    }

    TempDir dir_;
    FaultyFileSystem fs_;
    EngineControl control_;
    Date now_ = std::chrono::system_clock::now();
    SafeInstaller installer_{fs_, control_, [this] { return now_; }};
};

TEST_F(SafeInstallerTest, TempNamesAreHiddenMarkedAndUnique) {
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    const struct {
        const char* file;
        std::string_view marker;
        const char* prefix;
        const char* suffix;
    } cases[] = {
        {"/w/photo.jpg", tempFileMarker, ".photo.velk-temp-", ".jpg"},
        {"/w/photo.jpg", replaceFileMarker, ".photo.velk-replace-", ".jpg"},
        {"/w/README", tempFileMarker, ".README.velk-temp-", ".tmp"},
        {"/w/archive.tar.gz", replaceFileMarker, ".archive.tar.velk-replace-", ".gz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path temp = SafeInstaller::tempURL(c.file, c.marker);
        EXPECT_EQ(temp.parent_path(), "/w");
        const std::string name = temp.filename();
        const std::string prefix = c.prefix, suffix = c.suffix;
        ASSERT_EQ(name.size(), prefix.size() + 36 + suffix.size());
        EXPECT_EQ(name.substr(0, prefix.size()), prefix);
        EXPECT_TRUE(std::regex_match(name.substr(prefix.size(), 36), uuid)) << name;
        EXPECT_EQ(name.substr(prefix.size() + 36), suffix);
        EXPECT_NE(SafeInstaller::tempURL(c.file, c.marker), temp);
    }
}

TEST_F(SafeInstallerTest, BackupNamesNeverOverwriteAnEarlierBackup) {
    Setup setup = prepare(Install::sameName, "w");
    now_ = Date{std::chrono::milliseconds(1'709'640'000'123)} + std::chrono::microseconds(999);
    const fs::path day = setup.watched / backupDirName / isoDay(now_);
    const char* expected[] = {"photo.original.jpg", "photo.original-1709640000123.jpg",
                              "photo.original-1709640000123-1.jpg",
                              "photo.original-1709640000123-2.jpg"};
    for (const char* name : expected) {
        const std::string contents = std::string(originalBytes) + name;
        writeFile(setup.source, contents);
        setup.version = sourceVersion(fs_, control_, setup.source);
        EXPECT_EQ(installer_.backup(setup.source, setup.version, setup.watched), day / name);
        EXPECT_EQ(readFile(day / name), contents);
    }
    // The same version again (a run killed between its backup and the swap) keeps the
    // verified copy it made instead of a second one.
    EXPECT_EQ(installer_.backup(setup.source, setup.version, setup.watched), day / expected[3]);
    EXPECT_EQ(backupContents(setup.watched).size(), 4u);

    // A source outside the watched folder still lands inside the backup folder.
    const Setup elsewhere = prepare(Install::sameName, "elsewhere");
    const fs::path copy = installer_.backup(elsewhere.source, elsewhere.version, setup.watched);
    EXPECT_EQ(copy.parent_path(), day);

    try {
        installer_.backup(setup.source, setup.version, std::nullopt);
        FAIL() << "expected FileError";
    } catch (const FileError& error) {
        EXPECT_EQ(error.kind(), FileError::Kind::noSuchFile);
    }
}

TEST_F(SafeInstallerTest, SourceEditedAfterItWasReadIsNeverReplaced) {
    for (const Install install : {Install::sameName, Install::converted}) {
        SCOPED_TRACE(nameOf(install));
        // Same size, other bytes: only the digest can tell.
        const std::string edited(originalBytes.size(), 'E');

        const Setup early = prepare(install, std::string(nameOf(install)) + " early");
        writeFile(early.source, edited);
        EXPECT_EQ(controlKindOf([&] { run(install, early); }), Kind::sourceChanged);
        EXPECT_TRUE(backupContents(early.watched).empty()) << "no backup of unread contents";
        EXPECT_EQ(readFile(early.source), edited);
        EXPECT_EQ(readFile(early.temp), compressedBytes);

        // Edited between the backup and the swap.
        const Setup late = prepare(install, std::string(nameOf(install)) + " late");
        installer_.backup(late.source, late.version, late.watched);
        writeFile(late.source, edited);
        EXPECT_EQ(controlKindOf([&] {
                      if (install == Install::sameName) {
                          installer_.replaceOriginalSafely(late.temp, late.source, late.version);
                      } else {
                          installer_.replaceConvertedOriginalSafely(late.temp, late.output,
                                                                    late.source, late.version);
                      }
                  }),
                  Kind::sourceChanged);
        EXPECT_EQ(readFile(late.source), edited);
        EXPECT_EQ(readFile(late.temp), compressedBytes);
        if (install == Install::converted) {
            EXPECT_FALSE(fs::exists(late.output));
        }
        EXPECT_TRUE(filesNamedWith(late.watched, replaceFileMarker).empty());
    }
}

TEST_F(SafeInstallerTest, CancelledVersionCheckPutsTheSourceBack) {
    const Setup setup = prepare(Install::sameName, "w");
    installer_.backup(setup.source, setup.version, setup.watched);
    control_.setCancellationRequested(true);
    EXPECT_EQ(controlKindOf([&] {
                  installer_.replaceOriginalSafely(setup.temp, setup.source, setup.version);
              }),
              Kind::sourceChanged);
    EXPECT_EQ(readFile(setup.source), originalBytes);
    EXPECT_TRUE(filesNamedWith(setup.watched, replaceFileMarker).empty());
}

TEST_F(SafeInstallerTest, SymbolicLinksAreNeitherFollowedNorReplaced) {
    // The source turned into a link to identical bytes after it was read.
    const Setup setup = prepare(Install::sameName, "w");
    const fs::path elsewhere = dir_ / "elsewhere.jpg";
    writeFile(elsewhere, originalBytes);
    fs::remove(setup.source);
    fs::create_symlink(elsewhere, setup.source);

    EXPECT_EQ(controlKindOf([&] { installer_.backup(setup.source, setup.version, setup.watched); }),
              Kind::sourceChanged);
    EXPECT_TRUE(backupContents(setup.watched).empty());
    EXPECT_EQ(controlKindOf([&] {
                  installer_.replaceOriginalSafely(setup.temp, setup.source, setup.version);
              }),
              Kind::sourceChanged);
    EXPECT_TRUE(fs::is_symlink(setup.source));
    EXPECT_EQ(fs::read_symlink(setup.source), elsewhere);
    EXPECT_EQ(readFile(elsewhere), originalBytes);
    EXPECT_TRUE(filesNamedWith(setup.watched, replaceFileMarker).empty());

    // A link or a folder under the output's name is not ours to swap out.
    const fs::path linkOutput = setup.watched / "link_velkcompressed.jpg";
    fs::create_symlink(elsewhere, linkOutput);
    const fs::path folderOutput = setup.watched / "folder_velkcompressed.jpg";
    fs::create_directory(folderOutput);
    writeFile(folderOutput / "inside.jpg", "keep me");
    for (const fs::path& output : {linkOutput, folderOutput}) {
        SCOPED_TRACE(output.filename().native());
        EXPECT_THROW(installer_.replaceOutputFile(setup.temp, output), FileSystemError);
        EXPECT_EQ(readFile(setup.temp), compressedBytes);
    }
    EXPECT_EQ(fs::read_symlink(linkOutput), elsewhere);
    EXPECT_EQ(readFile(folderOutput / "inside.jpg"), "keep me");
    EXPECT_EQ(readFile(elsewhere), originalBytes);
}

TEST_F(SafeInstallerTest, BackupsAreNeverWrittenThroughALinkedBackupFolder) {
    const Setup setup = prepare(Install::sameName, "w");
    const fs::path elsewhere = dir_ / "elsewhere";
    fs::create_directories(elsewhere);
    fs::create_symlink(elsewhere, setup.watched / backupDirName);
    EXPECT_THROW(installer_.backup(setup.source, setup.version, setup.watched), FileSystemError);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_EQ(readFile(setup.source), originalBytes);
}

TEST_F(SafeInstallerTest, ConversionNeverOverwritesAFileWithTheOutputsName) {
    const Setup setup = prepare(Install::converted, "w");
    writeFile(setup.output, "someone else's webp");
    installer_.backup(setup.source, setup.version, setup.watched);
    EXPECT_THROW(installer_.replaceConvertedOriginalSafely(setup.temp, setup.output, setup.source,
                                                           setup.version),
                 FileSystemError);
    EXPECT_EQ(readFile(setup.output), "someone else's webp");
    EXPECT_EQ(readFile(setup.source), originalBytes);
    EXPECT_TRUE(filesNamedWith(setup.watched, replaceFileMarker).empty());
}

TEST_F(SafeInstallerTest, FailedInstallRestoresWhatWasMovedAside) {
    for (const Install install :
         {Install::besideOverEarlierOutput, Install::sameName, Install::converted}) {
        SCOPED_TRACE(nameOf(install));
        const Setup setup = prepare(install, nameOf(install));
        if (install != Install::besideOverEarlierOutput) {
            installer_.backup(setup.source, setup.version, setup.watched);
        }
        // The first move sets the old file aside; the second (and its copy fallback) would
        // install the new one.
        fs_.failNth(FaultyFileSystem::Operation::move, 2);
        fs_.failNth(FaultyFileSystem::Operation::copy, 1);
        EXPECT_THROW(run(install, setup), FileSystemError);
        fs_.reset();

        EXPECT_EQ(readFile(setup.source), originalBytes);
        if (install == Install::besideOverEarlierOutput) {
            EXPECT_EQ(readFile(setup.output), earlierOutputBytes);
        }
        if (install == Install::converted) {
            EXPECT_FALSE(fs::exists(setup.output));
        }
        EXPECT_TRUE(filesNamedWith(setup.watched, replaceFileMarker).empty());
    }
}

TEST_F(SafeInstallerTest, AFailureAtAnyStepLosesNothing) {
    for (const Install install :
         {Install::besideOverEarlierOutput, Install::sameName, Install::converted}) {
        for (const bool persistent : {false, true}) {
            for (int step = 1;; ++step) {
                const std::string label = std::string(nameOf(install)) +
                                          (persistent ? " persistent " : " once ") +
                                          std::to_string(step);
                SCOPED_TRACE(label);
                ASSERT_LT(step, 200) << "the install never got past its faults";
                const Setup setup = prepare(install, label);
                fs_.failStep(step, persistent);
                bool failed = false;
                try {
                    run(install, setup);
                } catch (const std::exception&) {
                    failed = true;
                }
                const bool faulted = fs_.faulted();
                fs_.reset();

                const auto atSource = contentsIfAny(setup.source);
                const auto atOutput = contentsIfAny(setup.output);
                const auto backups = backupContents(setup.watched);
                const auto asides = filesNamedWith(setup.watched, replaceFileMarker);
                // Whatever made it into the backup folder is the version that was read.
                for (const auto& backup : backups)
                    EXPECT_EQ(backup, originalBytes);

                if (install == Install::besideOverEarlierOutput) {
                    EXPECT_EQ(atSource, originalBytes);
                    if (failed && !persistent) {
                        EXPECT_EQ(atOutput, earlierOutputBytes);
                    }
                    if (!failed) {
                        EXPECT_EQ(atOutput, compressedBytes);
                    }
                    // The earlier output is under its name, or set aside, or replaced.
                    EXPECT_TRUE(atOutput || asides.size() == 1);
                } else {
                    const bool sourceIntact = atSource == originalBytes;
                    const bool installed = atOutput == compressedBytes;
                    EXPECT_TRUE(sourceIntact || !backups.empty());
                    if (installed) {
                        EXPECT_FALSE(backups.empty());
                    }
                    if (failed && !persistent) {
                        EXPECT_TRUE(sourceIntact);
                    }
                    if (!failed) {
                        EXPECT_TRUE(installed);
                    }
                    if (!failed && install == Install::converted) {
                        EXPECT_FALSE(atSource);
                    }
                }
                // Put back whenever its name was free: only a failed restore or a failed
                // clean-up may leave an aside file.
                if (failed && !persistent) {
                    EXPECT_TRUE(asides.empty());
                }
                if (!faulted) {
                    EXPECT_FALSE(failed);
                    EXPECT_FALSE(fs::exists(setup.temp));
                    EXPECT_TRUE(asides.empty());
                    const bool replacing = install != Install::besideOverEarlierOutput;
                    EXPECT_EQ(backups.size(), replacing ? 1u : 0u);
                    break;
                }
            }
        }
    }
}

} // namespace
} // namespace velk
