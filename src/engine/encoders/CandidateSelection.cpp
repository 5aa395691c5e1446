#include "engine/encoders/CandidateSelection.h"

#include <cstdint>
#include <system_error>

#include "core/FileError.h"
#include "core/Paths.h"
#include "platform/FileSystem.h"

namespace velk {

namespace {

std::uintmax_t sizeOf(const std::filesystem::path& file) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (error)
        throw FileSystemError("size of", file, error);
    return size;
}

bool isSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    if (standardized(a) == standardized(b))
        return true;
    std::error_code error;
    return std::filesystem::equivalent(a, b, error);
}

} // namespace

std::filesystem::path smallestCandidate(const std::vector<std::filesystem::path>& candidates) {
    if (candidates.empty())
        throw FileError(FileError::Kind::writeUnknown);
    std::size_t winner = 0;
    std::uintmax_t winnerSize = sizeOf(candidates.front());
    for (std::size_t i = 1; i < candidates.size(); ++i) {
        const std::uintmax_t size = sizeOf(candidates[i]);
        if (size < winnerSize) {
            winner = i;
            winnerSize = size;
        }
    }
    return candidates[winner];
}

void installWinner(const std::filesystem::path& winner, const std::filesystem::path& destination) {
    // Deleting the destination first would delete the winner itself.
    if (isSameFile(winner, destination))
        return;
    std::error_code error;
    std::filesystem::remove(destination, error);
    error.clear();
    std::filesystem::copy_file(winner, destination, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(destination, ignored);
        throw FileSystemError("copy to", destination, error);
    }
}

ScratchFiles::ScratchFiles(std::filesystem::path destination)
    : destination_(standardized(destination)) {}

ScratchFiles::~ScratchFiles() {
    for (const auto& file : doomed_) {
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }
}

std::filesystem::path ScratchFiles::add(std::filesystem::path file) {
    if (standardized(file) != destination_)
        doomed_.push_back(file);
    return file;
}

} // namespace velk
