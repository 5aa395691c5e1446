#include "updater/UpdaterTestSupport.h"

#include "support/TempDir.h"

#include <archive.h>
#include <archive_entry.h>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>

namespace velk::test {

namespace fs = std::filesystem;

void makeBundle(const fs::path& bundle, const BundleFields& fields) {
    fs::create_directories(bundle / "Contents/MacOS");
    fs::create_directories(bundle / "Contents/Resources/Helpers");
    writeFile(bundle / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n"
              "<key>CFBundleIdentifier</key><string>" +
                  fields.identifier +
                  "</string>\n"
                  "<key>CFBundleShortVersionString</key><string>" +
                  fields.version +
                  "</string>\n"
                  "<key>CFBundleExecutable</key><string>" +
                  fields.executable +
                  "</string>\n"
                  "</dict></plist>\n");
    if (fields.executable.find('/') != std::string::npos)
        return;
    fs::create_symlink("../MacOS/" + fields.executable, bundle / "Contents/Resources/launcher");
    const auto program = bundle / "Contents/MacOS" / fields.executable;
    writeFile(program, "#!/bin/sh\necho " + fields.version + " >> \"$VELK_TEST_MARKER\"\n");
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

namespace {

struct WriterFree {
    void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};
struct EntryFree {
    void operator()(archive_entry* entry) const noexcept { archive_entry_free(entry); }
};

class ArchiveWriter {
public:
    explicit ArchiveWriter(const fs::path& path) : writer_(archive_write_new()) {
        archive_write_add_filter_gzip(writer_.get());
        archive_write_set_format_pax_restricted(writer_.get());
        if (archive_write_open_filename(writer_.get(), path.c_str()) != ARCHIVE_OK) {
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    ~ArchiveWriter() { archive_write_close(writer_.get()); }

    void add(const ArchiveEntry& fields) {
        std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
        archive_entry_set_pathname(entry.get(), fields.name.c_str());
        archive_entry_set_perm(entry.get(), fields.permissions != 0   ? fields.permissions
                                            : fields.type == AE_IFDIR ? 0755
                                                                      : 0644);
        archive_entry_set_mtime(entry.get(), 1700000000, 0);
        if (!fields.linkTarget.empty()) {
            archive_entry_set_filetype(entry.get(), AE_IFLNK);
            archive_entry_set_symlink(entry.get(), fields.linkTarget.c_str());
        } else if (!fields.hardlink.empty()) {
            archive_entry_set_filetype(entry.get(), AE_IFREG);
            archive_entry_set_hardlink(entry.get(), fields.hardlink.c_str());
        } else {
            archive_entry_set_filetype(entry.get(), fields.type);
            if (fields.type == AE_IFREG)
                archive_entry_set_size(entry.get(),
                                       static_cast<la_int64_t>(fields.contents.size()));
        }
        if (archive_write_header(writer_.get(), entry.get()) != ARCHIVE_OK) {
            throw std::runtime_error(std::string("cannot add ") + fields.name);
        }
        if (!fields.contents.empty())
            archive_write_data(writer_.get(), fields.contents.data(), fields.contents.size());
    }

private:
    std::unique_ptr<archive, WriterFree> writer_;
};

void addTree(ArchiveWriter& writer, const fs::path& path, const std::string& name) {
    const auto status = fs::symlink_status(path);
    ArchiveEntry entry{name};
    entry.permissions = static_cast<unsigned>(status.permissions() & fs::perms::mask);
    if (fs::is_symlink(status)) {
        entry.linkTarget = fs::read_symlink(path).string();
        writer.add(entry);
    } else if (fs::is_directory(status)) {
        entry.type = AE_IFDIR;
        writer.add(entry);
        for (const auto& child : fs::directory_iterator(path)) {
            addTree(writer, child.path(), name + "/" + child.path().filename().string());
        }
    } else {
        entry.contents = readFile(path);
        writer.add(entry);
    }
}

} // namespace

void writeArchive(const fs::path& archive, const std::vector<ArchiveEntry>& entries) {
    ArchiveWriter writer(archive);
    for (const auto& entry : entries)
        writer.add(entry);
}

void packFolder(const fs::path& archive, const fs::path& top) {
    ArchiveWriter writer(archive);
    addTree(writer, top, top.filename().string());
}

std::string awaitMarker(const fs::path& marker) {
    // The relaunched program runs detached: nothing to wait on but its trace.
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::error_code error;
        if (fs::file_size(marker, error) > 0 && !error) {
            auto text = readFile(marker);
            if (text.ends_with('\n'))
                return text.substr(0, text.size() - 1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
}

} // namespace velk::test
