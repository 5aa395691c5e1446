// The texts every error kind shows the user, across the modules whose errors reach the
// history, notifications, the folder row and the alerts.
#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

#include "core/FileError.h"
#include "engine/ImageSafetyError.h"
#include "engine/encoders/ExternalTools.h"
#include "notify/CompressionNotificationEvent.h"
#include "platform/ChildProcess.h"
#include "platform/FileSystem.h"
#include "platform/FolderLock.h"
#include "platform/HttpClient.h"
#include "support/TempDir.h"
#include "update/AppUpdateError.h"

namespace velk {
namespace {

namespace fs = std::filesystem;

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

bool hasCyrillic(const std::string& text) {
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0xD0 || byte == 0xD1)
            return true;
    }
    return false;
}

TEST(ErrorDescriptionTest, EveryKindHasBothLanguagesAndNamesTheFileOnce) {
    test::TempDir dir;
    fs::create_directories(dir / "inbox");
    const fs::path source = "/home/u/inbox/broken.jpg";
    const fs::path scratch = "/home/u/inbox/.broken.velk-temp-0A1B.jpg";
    const auto fsError = [&](const fs::path& path, int code) {
        return FileSystemError("write", path, std::error_code(code, std::generic_category()));
    };
    using FK = FileError::Kind;
    using UK = AppUpdateError::Kind;
    struct Case {
        std::exception_ptr error;
        /// The name the text must carry exactly once; empty when it names none.
        std::string name;
    };
    const auto c = [](auto error, std::string name = {}) {
        return Case{std::make_exception_ptr(error), std::move(name)};
    };
    const std::vector<Case> cases = {
        c(FileError(FK::noSuchFile)),
        c(FileError(FK::readNoSuchFile, source), "broken.jpg"),
        c(FileError(FK::readNoSuchFile, dir / "inbox", FileError::Item::folder), "inbox"),
        c(FileError(FK::readNoSuchFile, std::nullopt, FileError::Item::folder)),
        c(FileError(FK::readCorruptFile, source), "broken.jpg"),
        c(FileError(FK::readCorruptFile, scratch)),
        c(FileError(FK::readCorruptFile)),
        c(FileError(FK::readUnsupportedScheme, source), "broken.jpg"),
        c(FileError(FK::readUnsupportedScheme)),
        c(FileError(FK::writeUnsupportedScheme)),
        c(FileError(FK::writeUnknown)),
        c(FileError(FK::writeUnknown, source), "broken.jpg"),
        c(fsError(source, ENOENT), "broken.jpg"),
        c(fsError(source, EACCES), "broken.jpg"),
        c(fsError(scratch, EACCES)),
        c(fsError(scratch, ENOSPC)),
        c(fsError(scratch, EDQUOT)),
        c(fsError(source, EROFS)),
        c(fsError(source, EIO), "broken.jpg"),
        c(fsError(scratch, EIO)),
        c(ChildProcessError("/usr/bin/cjpeg", EACCES), "cjpeg"),
        c(HttpError(HttpError::Kind::transport, "Could not resolve host")),
        c(HttpError(HttpError::Kind::insecureRedirect, "http://x")),
        c(HttpError(HttpError::Kind::bodyTooLarge, "big")),
        c(HttpError(HttpError::Kind::deadlinePassed, "slow")),
        c(FolderLockError(FolderLockError::Kind::held, dir / "inbox", "held by 4242", 4242),
          "inbox"),
        c(FolderLockError(FolderLockError::Kind::held, dir / "app.lock", "held by someone",
                          std::nullopt)),
        c(FolderLockError(FolderLockError::Kind::unavailable, dir / "inbox", "lock refused",
                          std::nullopt),
          "inbox"),
        c(FolderLockError(FolderLockError::Kind::unsafe, dir / "app.lock", "a link", std::nullopt),
          "app.lock"),
        c(FolderLockError(FolderLockError::Kind::held, dir / "app.lock", "ending", 4242, {},
                          /*holderEnding=*/true)),
        c(ImageSafetyError::resourceLimitExceeded(9000, 8000)),
        c(ImageSafetyError::invalidDimensions()),
        c(ImageSafetyError::multiplePictures(3)),
        c(ImageSafetyError::multiplePictures(std::nullopt)),
        c(ImageSafetyError::oversizedMetadata("iCCP")),
        c(ImageSafetyError::oversizedMetadata("zTXt")),
        c(ToolTimeLimitError("/usr/bin/cjpeg", 120), "cjpeg"),
        c(ToolGroupAbandonedError()),
        c(AppUpdateError::invalidManifest("no version")),
        c(AppUpdateError::httpStatus(503)),
        c(AppUpdateError::unsupportedSystem("6.1")),
        c(AppUpdateError::installation("copy failed")),
        c(AppUpdateError(UK::noUpdatePackage)),
        c(AppUpdateError(UK::appRunningFromDiskImage)),
        c(AppUpdateError(UK::updaterHelperMissing)),
        c(AppUpdateError(UK::checksumMismatch)),
        c(AppUpdateError(UK::signatureInvalid)),
        c(AppUpdateError(UK::updatesFromPackageManager)),
        c(std::runtime_error("vips_image_new: out of memory")),
        c(std::bad_alloc()),
    };
    for (const Case& each : cases) {
        std::string logLine;
        try {
            std::rethrow_exception(each.error);
        } catch (const std::exception& error) {
            logLine = error.what();
            const std::string russian = userDescription(error, AppLanguage::russian);
            const std::string english = userDescription(error, AppLanguage::english);
            SCOPED_TRACE(logLine + " | " + english);
            EXPECT_TRUE(hasCyrillic(russian)) << russian;
            EXPECT_FALSE(hasCyrillic(english)) << english;
            EXPECT_EQ(russian.find(logLine), std::string::npos)
                << "the log's English leaks into " << russian;
            for (const std::string& description : {russian, english}) {
                EXPECT_EQ(description.find("velk-temp"), std::string::npos) << description;
                if (!each.name.empty())
                    EXPECT_EQ(occurrences(description, each.name), 1u) << description;
                else
                    EXPECT_EQ(occurrences(description, "broken.jpg"), 0u) << description;
            }
            for (const AppLanguage language : allAppLanguages) {
                const CompressionNotificationEvent failed(
                    CompressionNotificationEvent::ProcessingFailed{
                        source, userDescription(error, language)});
                EXPECT_EQ(occurrences(failed.body(language), "broken.jpg"), 1u)
                    << failed.body(language);
            }
        }
    }
}

TEST(ErrorDescriptionTest, MemoryRunningOutIsSaidAsSuch) {
    // A file that cannot fit is skipped with a reason the reader can act on.
    EXPECT_NE(userDescription(std::bad_alloc(), AppLanguage::english).find("not enough memory"),
              std::string::npos);
    EXPECT_NE(userDescription(std::bad_alloc(), AppLanguage::russian).find("памяти"),
              std::string::npos);
}

} // namespace
} // namespace velk
