#include "platform/DecodeCheck.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>
#include <webp/decode.h>

namespace velk {

namespace {

/// Outputs worth checking this way are a few megabytes; anything far beyond that goes
/// the general way rather than being read into memory whole.
constexpr off_t maximumFileBytes = off_t{256} << 20;

std::optional<std::vector<unsigned char>> readWholeFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd == -1)
        return std::nullopt;
    std::optional<std::vector<unsigned char>> bytes;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0 &&
        info.st_size <= maximumFileBytes) {
        std::vector<unsigned char> buffer(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t count = ::read(fd, buffer.data() + done, buffer.size() - done);
            if (count == -1 && errno == EINTR)
                continue;
            if (count <= 0)
                break;
            done += static_cast<std::size_t>(count);
        }
        if (done == buffer.size())
            bytes = std::move(buffer);
    }
    ::close(fd);
    return bytes;
}

bool isJpeg(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

bool isWebp(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 12 && std::memcmp(bytes.data(), "RIFF", 4) == 0 &&
           std::memcmp(bytes.data() + 8, "WEBP", 4) == 0;
}

struct JpegErrors {
    jpeg_error_mgr manager;
    std::jmp_buf escape;
};

[[noreturn]] void jpegFailed(j_common_ptr info) {
    std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->escape, 1);
}

/// A warning means corrupt or missing data that libjpeg papered over (grey blocks for a
/// truncated file): for an output that is a failure like any other.
void jpegMessage(j_common_ptr info, int level) {
    if (level < 0)
        jpegFailed(info);
}

/// Every marker and every entropy-coded bit is read, which is where a broken file
/// fails; the inverse DCT, upsampling and colour conversion that would follow are
/// arithmetic on coefficients already read and cannot fail, so they are skipped. Kept
/// apart, with nothing but plain data between setjmp and longjmp, so the jump never
/// skips a destructor.
bool jpegDecodes(const std::vector<unsigned char>& bytes, std::int64_t maximumPixels) {
    jpeg_decompress_struct info;
    JpegErrors errors;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = jpegFailed;
    errors.manager.emit_message = jpegMessage;
    if (setjmp(errors.escape)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
    bool decoded = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK &&
                   std::int64_t{info.image_width} * info.image_height <= maximumPixels;
    if (decoded) {
        decoded = jpeg_read_coefficients(&info) != nullptr;
        // Reads up to the end of image: data cut short after the last scan shows here.
        if (decoded)
            jpeg_finish_decompress(&info);
    }
    jpeg_destroy_decompress(&info);
    return decoded;
}

std::optional<bool> webpDecodes(const std::vector<unsigned char>& bytes,
                                std::int64_t maximumPixels) {
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config))
        return std::nullopt;
    if (WebPGetFeatures(bytes.data(), bytes.size(), &config.input) != VP8_STATUS_OK)
        return false;
    if (config.input.has_animation)
        return std::nullopt;
    if (std::int64_t{config.input.width} * config.input.height > maximumPixels)
        return false;
    // YUV is what the bitstream holds; asking for it skips only the colour conversion.
    config.output.colorspace = config.input.has_alpha ? MODE_YUVA : MODE_YUV;
    config.options.use_threads = 1;
    const VP8StatusCode status = WebPDecode(bytes.data(), bytes.size(), &config);
    WebPFreeDecBuffer(&config.output);
    return status == VP8_STATUS_OK;
}

} // namespace

std::optional<bool> decodesCompletely(const std::filesystem::path& file,
                                      std::int64_t maximumPixels) {
    const std::optional<std::vector<unsigned char>> bytes = readWholeFile(file);
    if (!bytes)
        return std::nullopt;
    if (isJpeg(*bytes))
        return jpegDecodes(*bytes, maximumPixels);
    if (isWebp(*bytes))
        return webpDecodes(*bytes, maximumPixels);
    return std::nullopt;
}

} // namespace velk
