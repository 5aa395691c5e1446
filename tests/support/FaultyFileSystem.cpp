#include "support/FaultyFileSystem.h"

#include <system_error>

namespace velk::test {

namespace fs = std::filesystem;

namespace {
const char* nameOf(FaultyFileSystem::Operation operation) {
    switch (operation) {
    case FaultyFileSystem::Operation::attributes:
        return "attributes";
    case FaultyFileSystem::Operation::list:
        return "list";
    case FaultyFileSystem::Operation::writeAtomically:
        return "write";
    case FaultyFileSystem::Operation::createDirectories:
        return "create folder";
    case FaultyFileSystem::Operation::move:
        return "move";
    case FaultyFileSystem::Operation::replace:
        return "replace";
    case FaultyFileSystem::Operation::copy:
        return "copy";
    case FaultyFileSystem::Operation::remove:
        return "remove";
    case FaultyFileSystem::Operation::read:
        return "read";
    }
    return "file operation";
}
/// An open file whose every read fails.
class UnreadableFile final : public ReadableFile {
public:
    UnreadableFile(std::unique_ptr<ReadableFile> real, fs::path path)
        : real_(std::move(real)), path_(std::move(path)) {}
    std::uint64_t size() const override { return real_->size(); }
    std::size_t readAt(std::uint64_t, char*, std::size_t) override {
        throw FileSystemError("read", path_, std::make_error_code(std::errc::io_error));
    }

private:
    std::unique_ptr<ReadableFile> real_;
    fs::path path_;
};

} // namespace

void FaultyFileSystem::failNth(Operation operation, int nth) {
    std::scoped_lock lock(mutex_);
    const auto index = static_cast<std::size_t>(operation);
    nth_[index] = nth;
    calls_[index] = 0;
    faulted_ = false;
}

void FaultyFileSystem::failStep(int step, bool andAfter) {
    std::scoped_lock lock(mutex_);
    step_ = step;
    andAfter_ = andAfter;
    steps_ = 0;
    faulted_ = false;
}

void FaultyFileSystem::reset() {
    std::scoped_lock lock(mutex_);
    nth_ = {};
    calls_ = {};
    step_ = 0;
    andAfter_ = false;
    steps_ = 0;
    faulted_ = false;
}

bool FaultyFileSystem::shouldFail(Operation operation) const {
    std::scoped_lock lock(mutex_);
    const auto index = static_cast<std::size_t>(operation);
    const int call = ++calls_[index];
    const int step = ++steps_;
    const bool fail = (nth_[index] != 0 && call == nth_[index]) ||
                      (step_ != 0 && (step == step_ || (andAfter_ && step > step_)));
    if (fail)
        faulted_ = true;
    return fail;
}

void FaultyFileSystem::failIfArmed(Operation operation, const fs::path& path) const {
    if (shouldFail(operation)) {
        throw FileSystemError(nameOf(operation), path, std::make_error_code(std::errc::io_error));
    }
}

std::optional<ItemAttributes> FaultyFileSystem::attributes(const fs::path& path) const {
    if (shouldFail(Operation::attributes))
        return std::nullopt;
    return real_.attributes(path);
}

std::vector<DirectoryEntry> FaultyFileSystem::list(const fs::path& folder) const {
    failIfArmed(Operation::list, folder);
    return real_.list(folder);
}

void FaultyFileSystem::writeAtomically(const fs::path& target, std::string_view bytes) {
    failIfArmed(Operation::writeAtomically, target);
    real_.writeAtomically(target, bytes);
}

void FaultyFileSystem::createDirectories(const fs::path& folder) {
    failIfArmed(Operation::createDirectories, folder);
    real_.createDirectories(folder);
}

void FaultyFileSystem::move(const fs::path& from, const fs::path& to) {
    failIfArmed(Operation::move, from);
    real_.move(from, to);
}

void FaultyFileSystem::replace(const fs::path& from, const fs::path& to) {
    failIfArmed(Operation::replace, from);
    real_.replace(from, to);
}

void FaultyFileSystem::copy(const fs::path& from, const fs::path& to) {
    failIfArmed(Operation::copy, from);
    real_.copy(from, to);
}

void FaultyFileSystem::remove(const fs::path& path) {
    failIfArmed(Operation::remove, path);
    real_.remove(path);
}

std::unique_ptr<ReadableFile> FaultyFileSystem::openForReading(const fs::path& path) const {
    const bool fail = shouldFail(Operation::read);
    auto file = real_.openForReading(path);
    if (fail)
        return std::make_unique<UnreadableFile>(std::move(file), path);
    return file;
}

} // namespace velk::test
