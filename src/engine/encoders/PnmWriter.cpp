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
    validatedDecodedRasterByteCount(width, height);

    ::unlink(destination.c_str());
    RasterFile file(destination);
    file.write(header(width, height, preserveAlpha));

    const auto columns = static_cast<std::size_t>(width);
    const std::size_t channels = preserveAlpha ? 4 : 3;
    const std::size_t rowBytes = columns * channels;
    std::vector<std::uint8_t> converted;
    std::int64_t rowsWritten = 0;
    // The codec hands the rows over a band at a time, so the raster is never held twice.
    const bool rendered = codec.renderBands(
        image, colorSpace, preserveAlpha ? Background::transparent : Background::white,
        [&](const BitmapBand& band) {
            control.checkpoint();
            // Rows are read by offset below; a band of any other shape would be read past
            // its end.
            const auto inChannels = static_cast<std::size_t>(band.channels);
            if (band.width != width || band.height < 1 || band.height > height - rowsWritten ||
                (inChannels != 3 && inChannels != 4) ||
                band.pixels.size() !=
                    static_cast<std::size_t>(band.height) * columns * inChannels) {
                throw FileError(FileError::Kind::writeUnknown);
            }
            const auto rows = static_cast<std::size_t>(band.height);
            rowsWritten += band.height;
            if (inChannels == channels) {
                file.write(band.pixels.data(), rows * rowBytes);
                return;
            }
            // Over white the colour is final whatever alpha says; over transparency an
            // opaque bitmap gains alpha 255.
            converted.resize(rows * rowBytes);
            const std::uint8_t* source = band.pixels.data();
            std::uint8_t* out = converted.data();
            for (std::size_t pixel = 0; pixel < rows * columns; ++pixel, source += inChannels) {
                *out++ = source[0];
                *out++ = source[1];
                *out++ = source[2];
                if (preserveAlpha)
                    *out++ = 255;
            }
            file.write(converted.data(), converted.size());
        });
    if (!rendered || rowsWritten != height)
        throw FileError(FileError::Kind::writeUnknown);
    control.checkpoint();
    file.finish();
}

} // namespace velk
