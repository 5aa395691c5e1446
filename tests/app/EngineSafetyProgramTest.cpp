// The program on real folders in the situations where an image could be lost or made
// worse for nothing.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <thread>

#include "app/ProgramProcess.h"
#include "core/Uuid.h"
#include "support/CraftedImages.h"
#include "support/TempDir.h"
#include "support/TestImages.h"

namespace velk {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::ProgramProcess;
using test::TempDir;
using test::TestImages;

std::vector<fs::path> backupFiles(const fs::path& folder) {
    std::vector<fs::path> files;
    const fs::path root = folder / ".velk-compressor-backups";
    if (!fs::exists(root))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.is_regular_file())
            files.push_back(entry.path());
    }
    return files;
}

struct stat statOf(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0) << file;
    return info;
}

class EngineSafetyProgramTest : public ::testing::Test {
protected:
    TempDir dir_;
    fs::path folder_ = dir_ / "Inbox";
    int runs_ = 0;
    /// The settings folder, and the locale a first run there takes its language from.
    std::string support_ = "support";
    std::string lang_ = "en_US.UTF-8";

    void SetUp() override { fs::create_directories(folder_); }

    std::unique_ptr<ProgramProcess> launch(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--headless", "--watch", folder_.native()});
        return std::make_unique<ProgramProcess>(
            VELK_PROGRAM_PATH, arguments,
            std::map<std::string, std::optional<std::string>>{
                {"LANG", lang_},
                {"LC_ALL", std::nullopt},
                {"VELK_CONFIG_DIR", (dir_ / support_).native()},
                {"VELK_LOG_DIR", (dir_ / "logs").native()},
                {"VELK_DEBUG_LOG", "1"},
                {"HOME", (dir_ / "home").native()},
                {"XDG_RUNTIME_DIR", (dir_ / "run").native()},
                {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir_ / "no-bus").native()},
            },
            dir_ / ("run-" + std::to_string(++runs_)));
    }

    /// A `--once` run; fails the test unless it returns within `timeout` with `status`.
    std::string once(std::vector<std::string> arguments, int status = 0,
                     std::chrono::seconds timeout = 120s) {
        arguments.push_back("--once");
        auto process = launch(arguments);
        EXPECT_EQ(process->wait(timeout), status) << process->out() << process->err();
        return process->out();
    }

    std::string log() { return test::readFile(dir_ / "logs" / "native.log"); }

    template <typename Condition> bool waitFor(ProgramProcess& process, Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!condition()) {
            if (process.hasExited() || std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }
};

TEST_F(EngineSafetyProgramTest, TheSweepLeavesFoldersLinksAndFilesItDidNotMakeAlone) {
    TestImages::jpeg(folder_ / "a.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    const fs::path album = folder_ / "a_velkcompressed.png";
    fs::create_directories(album);
    TestImages::jpeg(album / "holiday.jpg", 64, 48);
    TestImages::webp(folder_ / "a_velkcompressed.webp", 64, 48);
    const std::string usersOwn = test::readFile(folder_ / "a_velkcompressed.webp");
    fs::create_symlink(folder_ / "a.jpg", folder_ / "a_velkcompressed.avif");
    // The person's own picture under b.jpg's output name, older than b.jpg.
    TestImages::jpeg(folder_ / "b.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::jpeg(folder_ / "b_velkcompressed.jpg", 64, 48);
    fs::last_write_time(folder_ / "b_velkcompressed.jpg",
                        fs::last_write_time(folder_ / "b.jpg") - std::chrono::hours(1));
    const std::string usersOther = test::readFile(folder_ / "b_velkcompressed.jpg");

    const std::string out = once({"--originals", "keep", "--format", "automatic"}, 1);
    EXPECT_NE(out.find("b.jpg was not compressed: its output name b_velkcompressed.jpg is taken"),
              std::string::npos)
        << out;
    EXPECT_TRUE(test::readFile(folder_ / "b_velkcompressed.jpg") == usersOther);
    EXPECT_TRUE(fs::exists(album / "holiday.jpg"));
    EXPECT_TRUE(test::readFile(folder_ / "a_velkcompressed.webp") == usersOwn);
    EXPECT_TRUE(fs::is_symlink(folder_ / "a_velkcompressed.avif"));
    EXPECT_TRUE(fs::exists(folder_ / "a_velkcompressed.jpg"));

    // Once the person moves their file away, the next run compresses b.jpg: the clash was
    // never b.jpg's own failure.
    fs::rename(folder_ / "b_velkcompressed.jpg", folder_ / "mine.jpg");
    once({}, 0);
    EXPECT_TRUE(fs::exists(folder_ / "b_velkcompressed.jpg"));
}

TEST_F(EngineSafetyProgramTest, ASourceOverwrittenDuringItsEncodeGetsAnOutputOfItsNewContents) {
    TestImages::jpeg(folder_ / "photo.jpg", 4000, 3000,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::jpeg(dir_ / "small.jpg", 320, 200,
                     test::imageOptions().withDetail().withQuality(98));
    auto process = launch({"--originals", "keep", "--format", "jpeg", "--once"});
    ASSERT_TRUE(waitFor(*process, [&] {
        for (const auto& entry : fs::directory_iterator(folder_)) {
            if (entry.path().filename().native().find(".velk-temp") != std::string::npos)
                return true;
        }
        return false;
    })) << process->err();
    fs::copy_file(dir_ / "small.jpg", folder_ / "photo.jpg", fs::copy_options::overwrite_existing);

    EXPECT_EQ(process->wait(120s), 0) << process->out() << process->err();
    // A 4000×3000 output would be megabytes; the 320×200 one is a few kilobytes.
    EXPECT_LT(fs::file_size(folder_ / "photo_velkcompressed.jpg"), 100'000u);
}

TEST_F(EngineSafetyProgramTest, ResultsKeepTheOriginalsPermissionsAndDates) {
    const auto year2015 = fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 11);
    for (const std::string policy : {"keep", "replace"}) {
        SCOPED_TRACE(policy);
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        const fs::path photo = folder_ / ("photo-" + policy + ".jpg");
        TestImages::jpeg(photo, 640, 480, test::imageOptions().withDetail().withQuality(98));
        fs::permissions(photo, fs::perms::owner_read | fs::perms::owner_write);
        fs::last_write_time(photo, year2015);
        const struct stat before = statOf(photo);
        once({"--originals", policy});

        if (policy == "keep") {
            EXPECT_EQ(statOf(folder_ / "photo-keep_velkcompressed.jpg").st_mode & 077, 0u);
            continue;
        }
        const auto backups = backupFiles(folder_);
        ASSERT_EQ(backups.size(), 1u);
        for (const fs::path& file : {photo, backups.front()}) {
            const struct stat after = statOf(file);
            EXPECT_EQ(after.st_mode & 07777, 0600u) << file;
            EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << file;
        }
        EXPECT_NE(statOf(photo).st_size, before.st_size) << "the result was not installed";
    }
}

TEST_F(EngineSafetyProgramTest, OnceReturnsWhenAFileVanishesDuringItsStabilityWait) {
    TestImages::jpeg(folder_ / "transient.jpg", 320, 240);
    auto process = launch({"--once"});
    ASSERT_TRUE(waitFor(*process, [&] {
        return fs::exists(dir_ / "logs" / "native.log") &&
               log().find("files=1") != std::string::npos;
    })) << process->err();
    fs::remove(folder_ / "transient.jpg");
    EXPECT_EQ(process->wait(20s), 0) << process->out() << process->err();
}

TEST_F(EngineSafetyProgramTest, TwoSourcesWithOneOutputNameGiveAFailedRow) {
    struct Case {
        std::vector<std::string> names;
        std::vector<std::string> arguments;
    };
    // The first by name owns the output, however many share it; each other one fails.
    for (const auto& [names, arguments] : {
             Case{{"photo.JPG", "photo.jpeg", "photo.jpg"},
                  {"--originals", "keep", "--format", "automatic"}},
             Case{{"shot.jpg", "shot.png"}, {"--originals", "replace", "--format", "webp"}},
         }) {
        SCOPED_TRACE(names[1]);
        for (const std::string& name : names) {
            if (name.ends_with(".png")) {
                TestImages::png(folder_ / name, 320, 240, test::imageOptions().withDetail());
            } else {
                TestImages::jpeg(folder_ / name, 320, 240,
                                 test::imageOptions().withDetail().withQuality(98));
            }
        }
        const std::string out = once(arguments, 1);
        for (std::size_t i = 1; i < names.size(); ++i) {
            EXPECT_NE(out.find(names[i] + " was not compressed: its output name"),
                      std::string::npos)
                << out;
        }
        EXPECT_EQ(out.find(names[0] + " was not compressed"), std::string::npos) << out;
        EXPECT_NE(out.find("belongs to " + names[0]), std::string::npos) << out;
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
}

TEST_F(EngineSafetyProgramTest, KeepThenReplaceLeavesOneImagePerPictureAndOtherPicturesCopies) {
    TestImages::jpeg(folder_ / "photo.jpg", 320, 240,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::avif(folder_ / "photo.avif", 320, 240,
                     test::imageOptions().withDetail().withQuality(95));
    const std::string original = test::readFile(folder_ / "photo.jpg");
    once({"--originals", "keep", "--format", "automatic"});
    ASSERT_TRUE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    ASSERT_TRUE(fs::exists(folder_ / "photo_velkcompressed.avif"));
    // photo.avif deleted, its compressed copy kept: the only copy of that picture now.
    const std::string onlyCopy = test::readFile(folder_ / "photo_velkcompressed.avif");
    fs::remove(folder_ / "photo.avif");
    once({});
    ASSERT_TRUE(fs::exists(folder_ / "photo_velkcompressed.avif"));

    once({"--originals", "replace"});
    EXPECT_FALSE(fs::exists(folder_ / "photo_velkcompressed.jpg"));
    EXPECT_LT(fs::file_size(folder_ / "photo.jpg"), original.size());
    const auto backups = backupFiles(folder_);
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_TRUE(test::readFile(backups[0]) == original);
    EXPECT_TRUE(test::readFile(folder_ / "photo_velkcompressed.avif") == onlyCopy);
}

TEST_F(EngineSafetyProgramTest, LongNamesWork) {
    const std::string stem(236, 'n');
    for (const std::string policy : {"keep", "replace"}) {
        SCOPED_TRACE(policy);
        TestImages::jpeg(folder_ / (stem + ".jpg"), 640, 480,
                         test::imageOptions().withDetail().withQuality(98));
        once({"--originals", policy, "--format", "jpeg"});
        if (policy == "keep") {
            EXPECT_TRUE(fs::exists(folder_ / (stem + "_velkcompressed.jpg")));
        } else {
            EXPECT_EQ(backupFiles(folder_).size(), 1u);
        }
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
}

TEST_F(EngineSafetyProgramTest, RecoveryFinishesAConversionAndDropsUnverifiedBackups) {
    // The state a kill leaves just after photo.webp was installed, with photo.jpg still set
    // aside, and a backup copy cut short under an earlier version's final name.
    TestImages::jpeg(dir_ / "photo.jpg", 640, 480,
                     test::imageOptions().withDetail().withQuality(98));
    TestImages::webp(folder_ / "photo.webp", 640, 480);
    const std::string converted = test::readFile(folder_ / "photo.webp");
    const fs::path day = folder_ / ".velk-compressor-backups" / "2026-01-01";
    fs::create_directories(day);
    fs::copy_file(dir_ / "photo.jpg", day / "photo.original.jpg");
    fs::copy_file(dir_ / "photo.jpg",
                  folder_ / (".photo.velk-replace-" + Uuid::random().toString() + ".jpg"));
    test::writeFile(day / "chart.original.png", "");
    test::writeFile(day / (".chart.velk-temp-" + Uuid::random().toString() + ".png"), "PNG");

    once({"--originals", "replace", "--format", "webp"});
    EXPECT_TRUE(test::readFile(folder_ / "photo.webp") == converted);
    EXPECT_FALSE(fs::exists(folder_ / "photo.jpg"));
    EXPECT_EQ(backupFiles(folder_), std::vector<fs::path>{day / "photo.original.jpg"});
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);
}

TEST_F(EngineSafetyProgramTest, AnimationsSetsOfImagesAndUnpackingBombsAreKeptAsTheyAre) {
    struct Language {
        const char* lang;
        const char* multiple;
        const char* profile;
    };
    for (const auto& [lang, multiple, profile] : {
             Language{"en_US.UTF-8", "Animated and multi-image files are kept as they are.",
                      "The embedded colour profile is too large to unpack safely."},
             Language{"ru_RU.UTF-8", "Анимированные и многокадровые файлы остаются как есть.",
                      "Встроенный цветовой профиль слишком велик"},
         }) {
        SCOPED_TRACE(lang);
        lang_ = lang;
        support_ = std::string("support-") + lang;
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        const auto frames = test::imageOptions().withFrames(3).withDetail();
        TestImages::webp(folder_ / "animated.webp", 320, 240, frames);
        TestImages::heic(folder_ / "burst.heic", 320, 240, frames);
        TestImages::png(folder_ / "animated.png", 320, 240, test::imageOptions().withDetail());
        test::CraftedImages::animatePng(folder_ / "animated.png", 3);
        // About a megabyte whose profile unpacks to 1000 MiB.
        TestImages::png(folder_ / "bomb.png", 320, 240, test::imageOptions().withDetail());
        test::CraftedImages::insertPngChunks(
            folder_ / "bomb.png",
            {{"iCCP", std::string("icc\0\0", 5) + test::CraftedImages::zerosStream(1000)}});
        ASSERT_GT(fs::file_size(folder_ / "bomb.png"), 1'000'000u);
        std::map<std::string, std::string> before;
        for (const auto& entry : fs::directory_iterator(folder_))
            before[entry.path().filename()] = test::readFile(entry.path());
        TestImages::jpeg(folder_ / "photo.jpg", 640, 480,
                         test::imageOptions().withDetail().withQuality(98));

        // Under replace a still would have taken each one's place.
        const std::string out = once({"--originals", "replace", "--format", "automatic"}, 1);
        for (const auto& [name, bytes] : before) {
            EXPECT_TRUE(test::readFile(folder_ / name) == bytes) << name;
            const char* reason = name == "bomb.png" ? profile : multiple;
            EXPECT_NE(out.find(name + ": "), std::string::npos) << out;
            EXPECT_NE(out.find(reason, out.find(name + ": ")), std::string::npos) << name << out;
        }
        // Only the photo was backed up and compressed.
        EXPECT_EQ(backupFiles(folder_).size(), 1u) << out;
    }
}

} // namespace
} // namespace velk
