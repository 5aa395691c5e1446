#include "engine/encoders/PnmWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "core/FileError.h"
#include "engine/EngineControl.h"
#include "engine/ImageSafetyError.h"
#include "platform/FileSystem.h"
#include "platform/ImageCodec.h"

namespace velk {

namespace {

/// The file being written; closed always, and removed unless finish() succeeded, so a
/// failed or cancelled write never leaves a truncated raster for a tool to encode.
class RasterFile {
public:
    explicit RasterFile(std::filesystem::path path) : path_(std::move(path)) {
        // O_EXCL also refuses a symbolic link planted after the unlink, so the raster
        // can only ever land in a file this call created.
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ == -1)
            throw FileError(FileError::Kind::writeUnknown);
    }
    RasterFile(const RasterFile&) = delete;
    RasterFile& operator=(const RasterFile&) = delete;
    ~RasterFile() {
        if (fd_ != -1)
            ::close(fd_);
        if (!finished_)
            ::unlink(path_.c_str());
    }

    void write(const std::uint8_t* bytes, std::size_t count) {
        while (count > 0) {
            const ssize_t written = ::write(fd_, bytes, count);
            if (written == -1 && errno == EINTR)
                continue;
            if (written <= 0)
                fail("write", written == 0 ? EIO : errno);
            bytes += written;
            count -= static_cast<std::size_t>(written);
        }
    }
    void write(const std::string& text) {
        write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }

    /// No fsync: the raster is scratch that the tool reads back from the page cache at
    /// once, and a crash leaves only a ".velk-temp" file the next start removes. Syncing
    /// megabytes per file used to cost more than the rest of the writing.
    void finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) == -1 && errno != EINTR)
            fail("close", errno);
        finished_ = true;
    }

private:
    [[noreturn]] void fail(std::string_view operation, int errorNumber) {
        throw FileSystemError(operation, path_,
                              std::error_code(errorNumber, std::system_category()));
    }

    std::filesystem::path path_;
    int fd_ = -1;
    bool finished_ = false;
};

std::string header(std::int64_t width, std::int64_t height, bool preserveAlpha) {
    const std::string w = std::to_string(width);
    const std::string h = std::to_string(height);
    if (!preserveAlpha)
        return "P6\n" + w + " " + h + "\n255\n";
    return "P7\nWIDTH " + w + "\nHEIGHT " + h +
           "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
}

} // namespace

void writePNMImage(EngineControl& control, const ImageCodec& codec,
                   const std::filesystem::path& destination, const Raster& image,
                   bool preserveAlpha, const ColorSpace& colorSpace) {
    const std::int64_t width = image.width();
    const std::int64_t height = image.height();
    const std::int64_t byteCount = validatedDecodedRasterByteCount(width, height);

    const auto bitmap = codec.render(image, colorSpace,
                                     preserveAlpha ? Background::transparent : Background::white);
    // Rows are read by offset below; a bitmap of any other shape would be read past its end.
    const std::size_t pixelCount = static_cast<std::size_t>(byteCount) / 4;
    if (!bitmap || bitmap->width != width || bitmap->height != height ||
        (bitmap->channels != 3 && bitmap->channels != 4) ||
        bitmap->pixels.size() != pixelCount * static_cast<std::size_t>(bitmap->channels)) {
        throw FileError(FileError::Kind::writeUnknown);
    }

    ::unlink(destination.c_str());
    RasterFile file(destination);
    file.write(header(width, height, preserveAlpha));

    const auto columns = static_cast<std::size_t>(width);
    const auto inChannels = static_cast<std::size_t>(bitmap->channels);
    const std::size_t channels = preserveAlpha ? 4 : 3;
    const std::size_t rowBytes = columns * channels;
    // Rows go out in blocks of about a megabyte: one write per row made thousands of
    // system calls for a photo. Cancellation is still seen before every block.
    const std::size_t rowsPerBlock = std::max<std::size_t>(1, (1u << 20) / rowBytes);
    const auto rows = static_cast<std::size_t>(height);

    if (inChannels == channels) {
        // Already the file's layout: write the bitmap as it is.
        for (std::size_t y = 0; y < rows; y += rowsPerBlock) {
            control.checkpoint();
            const std::size_t count = std::min(rowsPerBlock, rows - y);
            file.write(bitmap->pixels.data() + y * rowBytes, count * rowBytes);
        }
    } else {
        // Over white the colour is final whatever alpha says; over transparency an
        // opaque bitmap gains alpha 255.
        std::vector<std::uint8_t> block(rowBytes * rowsPerBlock);
        std::size_t pending = 0;
        for (std::size_t y = 0; y < rows; ++y) {
            if (pending == 0)
                control.checkpoint();
            const std::uint8_t* source = bitmap->pixels.data() + y * columns * inChannels;
            std::uint8_t* out = block.data() + pending * rowBytes;
            for (std::size_t x = 0; x < columns; ++x, source += inChannels) {
                *out++ = source[0];
                *out++ = source[1];
                *out++ = source[2];
                if (preserveAlpha)
                    *out++ = 255;
            }
            if (++pending == rowsPerBlock || y + 1 == rows) {
                file.write(block.data(), pending * rowBytes);
                pending = 0;
            }
        }
    }
    control.checkpoint();
    file.finish();
}

} // namespace velk
