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

/// Kept apart, with nothing but plain data between setjmp and longjmp, so the jump
/// never skips a destructor.
bool jpegDecodes(const unsigned char* data, std::size_t size, unsigned char* row,
                 std::size_t rowCapacity, std::int64_t maximumPixels, bool& needsRow,
                 std::size_t& rowBytes) {
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
    jpeg_mem_src(&info, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK ||
        std::int64_t{info.image_width} * info.image_height > maximumPixels) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    // Colour conversion and smooth upsampling are presentation, not decoding: every
    // coefficient is still read and transformed without them.
    if (info.jpeg_color_space == JCS_YCbCr)
        info.out_color_space = JCS_YCbCr;
    info.do_fancy_upsampling = FALSE;
    jpeg_calc_output_dimensions(&info);
    rowBytes = std::size_t{info.output_width} * static_cast<std::size_t>(info.output_components);
    if (rowBytes > rowCapacity) {
        needsRow = true;
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_start_decompress(&info);
    JSAMPROW rows[1] = {row};
    while (info.output_scanline < info.output_height) {
        if (jpeg_read_scanlines(&info, rows, 1) != 1)
            jpegFailed(reinterpret_cast<j_common_ptr>(&info));
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return true;
}

bool jpegDecodes(const std::vector<unsigned char>& bytes, std::int64_t maximumPixels) {
    // A row of the widest JPEG (65,535 samples of up to 4 components) fits this buffer,
    // so the retry below is only a guard.
    std::vector<unsigned char> row(65535 * 4);
    bool needsRow = false;
    std::size_t rowBytes = 0;
    if (jpegDecodes(bytes.data(), bytes.size(), row.data(), row.size(), maximumPixels, needsRow,
                    rowBytes)) {
        return true;
    }
    if (!needsRow)
        return false;
    row.resize(rowBytes);
    needsRow = false;
    return jpegDecodes(bytes.data(), bytes.size(), row.data(), row.size(), maximumPixels,
                       needsRow, rowBytes);
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
