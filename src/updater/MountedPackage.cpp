#include "updater/MountedPackage.h"

#include "updater/BundleCopy.h"
#include "updater/TemporaryNames.h"
#include "updater/UpdateHelperError.h"

#include <archive.h>
#include <archive_entry.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace velk::updater {

namespace fs = std::filesystem;

namespace {

struct ReaderFree {
    void operator()(archive* reader) const noexcept { archive_read_free(reader); }
};
struct WriterFree {
    void operator()(archive* writer) const noexcept { archive_write_free(writer); }
};

/// Thrown inside the extraction only; the constructor turns it into invalidDiskImage.
struct RefusedPackage {};

std::vector<std::string> components(std::string_view name) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        const auto end = std::min(name.find('/', start), name.size());
        const auto part = name.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.emplace_back(part);
        start = end + 1;
    }
    return parts;
}

/// The entry's place below the root as clean components, or nothing for an absolute name or
/// one with "..". An empty list is the root itself ("./").
std::optional<std::vector<std::string>> relativeName(const char* name) {
    if (name == nullptr || *name == '\0' || *name == '/')
        return std::nullopt;
    auto parts = components(name);
    for (const auto& part : parts) {
        if (part == "..")
            return std::nullopt;
    }
    return parts;
}

// Leading ".." steps climb through real folders (the extraction refuses to write through
// links), so counting them against the link's depth is exact. A ".." after a plain name could
// climb out of a folder reached through another link, so it is refused outright.
bool linkStaysInside(const std::vector<std::string>& linkName, const char* target) {
    if (target == nullptr || *target == '\0' || *target == '/')
        return false;
    std::size_t climbs = 0;
    bool descended = false;
    for (const auto& part : components(target)) {
        if (part != "..") {
            descended = true;
        } else if (descended) {
            return false;
        } else {
            ++climbs;
        }
    }
    return climbs < linkName.size();
}

fs::path joined(const fs::path& root, const std::vector<std::string>& parts) {
    fs::path path = root;
    for (const auto& part : parts)
        path /= part;
    return path;
}

void check(bool ok) {
    if (!ok)
        throw RefusedPackage{};
}

void extract(const fs::path& package, const fs::path& root) {
    std::unique_ptr<archive, ReaderFree> reader(archive_read_new());
    std::unique_ptr<archive, WriterFree> writer(archive_write_disk_new());
    check(reader && writer);
    check(archive_read_support_filter_gzip(reader.get()) == ARCHIVE_OK);
    check(archive_read_support_format_tar(reader.get()) == ARCHIVE_OK);
    check(archive_write_disk_set_options(writer.get(), ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                                                           ARCHIVE_EXTRACT_SECURE_SYMLINKS |
                                                           ARCHIVE_EXTRACT_SECURE_NODOTDOT) ==
          ARCHIVE_OK);
    check(archive_read_open_filename(reader.get(), package.c_str(), 64 * 1024) == ARCHIVE_OK);

    archive_entry* entry = nullptr;
    for (;;) {
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        check(status >= ARCHIVE_WARN);

        const auto name = relativeName(archive_entry_pathname(entry));
        check(name.has_value());
        const char* hardlink = archive_entry_hardlink(entry);
        const auto type = archive_entry_filetype(entry);
        if (hardlink != nullptr) {
            const auto target = relativeName(hardlink);
            check(target.has_value() && !target->empty());
            archive_entry_set_hardlink(entry, joined(root, *target).c_str());
        } else if (type == AE_IFLNK) {
            check(linkStaysInside(*name, archive_entry_symlink(entry)));
        } else {
            check(type == AE_IFREG || type == AE_IFDIR);
        }
        if (name->empty()) {
            check(type == AE_IFDIR);
            continue;
        }
        // The writer resolves relative names against the working folder: give it full ones.
        archive_entry_set_pathname(entry, joined(root, *name).c_str());
        // The bundle becomes a program anyone on the machine may start: no set-user or
        // set-group bit from the package, and nobody but its owner may change it.
        archive_entry_set_perm(entry, archive_entry_perm(entry) & 0755);
        check(archive_write_header(writer.get(), entry) >= ARCHIVE_WARN);

        const void* block = nullptr;
        std::size_t size = 0;
        la_int64_t offset = 0;
        for (;;) {
            const int read = archive_read_data_block(reader.get(), &block, &size, &offset);
            if (read == ARCHIVE_EOF)
                break;
            check(read >= ARCHIVE_WARN);
            check(archive_write_data_block(writer.get(), block, size, offset) >= ARCHIVE_WARN);
        }
        check(archive_write_finish_entry(writer.get()) >= ARCHIVE_WARN);
    }
    // Folder modes and times are set here, after their contents.
    check(archive_write_close(writer.get()) >= ARCHIVE_WARN);
}

} // namespace

MountedPackage::MountedPackage(const fs::path& package, const fs::path& parent) {
    const auto folder = parent / ("VelkCompressor-Mount-" + randomUuidText());
    std::error_code error;
    fs::create_directories(parent, error);
    if (::mkdir(folder.c_str(), 0700) != 0)
        throw UpdateHelperError(UpdateHelperError::Kind::invalidDiskImage);
    // A link anywhere in the root's own path makes the writer refuse every entry.
    mountPoint_ = fs::canonical(folder, error);
    if (error)
        mountPoint_ = folder;
    try {
        check(!error);
        extract(package, mountPoint_);
    } catch (const RefusedPackage&) {
        removeBundle(mountPoint_);
        throw UpdateHelperError(UpdateHelperError::Kind::invalidDiskImage);
    } catch (...) {
        // No destructor runs for a constructor that throws.
        removeBundle(mountPoint_);
        throw;
    }
}

MountedPackage::~MountedPackage() {
    removeBundle(mountPoint_);
}

} // namespace velk::updater
