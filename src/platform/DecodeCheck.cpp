#include "platform/DecodeCheck.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <png.h>
#include <webp/decode.h>
#include <webp/demux.h>

namespace velk {

namespace {

/// Outputs worth checking this way are a few megabytes; anything far beyond that goes
/// the general way rather than being read into memory whole.
constexpr std::uint64_t maximumFileBytes = std::uint64_t{256} << 20;

/// Never through a symbolic link: the general way decides what a link is worth.
std::optional<std::vector<unsigned char>> readWholeFile(const FileSystem& fs,
                                                        const std::filesystem::path& file) {
    const std::optional<ItemAttributes> attributes = fs.attributes(file);
    if (!attributes || !attributes->isRegularFile)
        return std::nullopt;
    try {
        const std::unique_ptr<ReadableFile> opened = fs.openForReading(file);
        const std::uint64_t size = opened->size();
        if (size == 0 || size > maximumFileBytes)
            return std::nullopt;
        std::vector<unsigned char> bytes(static_cast<std::size_t>(size));
        if (opened->readAt(0, reinterpret_cast<char*>(bytes.data()), bytes.size()) != bytes.size())
            return std::nullopt;
        return bytes;
    } catch (const FileSystemError&) {
        return std::nullopt;
    }
}

bool isJpeg(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

bool isPng(const std::vector<unsigned char>& bytes) {
    return bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0;
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

struct PngInput {
    const unsigned char* data;
    std::size_t size;
    std::size_t offset;
};

void pngRead(png_structp png, png_bytep out, png_size_t count) {
    auto* input = static_cast<PngInput*>(png_get_io_ptr(png));
    if (count > input->size - input->offset)
        png_error(png, "truncated");
    std::memcpy(out, input->data + input->offset, count);
    input->offset += count;
}

[[noreturn]] void pngFailed(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}

/// Warnings are benign here (an odd ancillary chunk, trailing data): libpng turns what
/// damages the pixels (a bad critical CRC, short image data) into errors.
void pngWarning(png_structp, png_const_charp) {}

/// With `row` empty, reads only the header and reports the row size in `rowBytes`;
/// otherwise inflates and unfilters every row of every interlace pass into `row` and
/// reads the chunks up to IEND with their CRCs checked. Plain data only between setjmp
/// and longjmp, as for JPEG.
bool pngDecodes(const std::vector<unsigned char>& bytes, std::int64_t maximumPixels,
                std::vector<unsigned char>& row, std::size_t& rowBytes) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngFailed, pngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return false;
    }
    PngInput input{bytes.data(), bytes.size(), 0};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &input, pngRead);
    png_read_info(png, info);
    const std::int64_t pixels =
        std::int64_t{png_get_image_width(png, info)} * png_get_image_height(png, info);
    rowBytes = pixels <= maximumPixels ? png_get_rowbytes(png, info) : 0;
    bool decoded = rowBytes > 0 && rowBytes <= row.size();
    if (decoded) {
        const int passes = png_set_interlace_handling(png);
        png_read_update_info(png, info);
        const png_uint_32 height = png_get_image_height(png, info);
        for (int pass = 0; pass < passes; ++pass) {
            for (png_uint_32 y = 0; y < height; ++y)
                png_read_row(png, row.data(), nullptr);
        }
        png_read_end(png, nullptr);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return decoded;
}

bool pngDecodes(const std::vector<unsigned char>& bytes, std::int64_t maximumPixels) {
    // The header first, so the row is allocated for the size the file really has.
    std::vector<unsigned char> row;
    std::size_t rowBytes = 0;
    pngDecodes(bytes, maximumPixels, row, rowBytes);
    if (rowBytes == 0)
        return false;
    row.resize(rowBytes);
    return pngDecodes(bytes, maximumPixels, row, rowBytes);
}

struct Demuxer {
    void operator()(WebPDemuxer* demuxer) const noexcept { WebPDemuxDelete(demuxer); }
};

/// Through the demuxer, as libvips reads WebP: the first frame's own bitstream, with the
/// alpha that the container promises, must decode; a container whose flags and chunks
/// disagree fails here as it would there.
bool webpDecodes(const std::vector<unsigned char>& bytes, std::int64_t maximumPixels) {
    const WebPData data{bytes.data(), bytes.size()};
    const std::unique_ptr<WebPDemuxer, Demuxer> demuxer(WebPDemux(&data));
    if (!demuxer)
        return false;
    const std::int64_t pixels = std::int64_t{WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_WIDTH)} *
                                WebPDemuxGetI(demuxer.get(), WEBP_FF_CANVAS_HEIGHT);
    if (pixels > maximumPixels)
        return false;
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demuxer.get(), 1, &frame))
        return false;
    WebPDecoderConfig config;
    bool decoded = WebPInitDecoderConfig(&config);
    if (decoded) {
        // YUV is what the bitstream holds; asking for it skips only the colour conversion.
        config.output.colorspace = frame.has_alpha ? MODE_YUVA : MODE_YUV;
        config.options.use_threads = 1;
        decoded = WebPDecode(frame.fragment.bytes, frame.fragment.size, &config) == VP8_STATUS_OK;
        WebPFreeDecBuffer(&config.output);
    }
    WebPDemuxReleaseIterator(&frame);
    return decoded;
}

} // namespace

std::optional<bool> decodesCompletely(const FileSystem& fs, const std::filesystem::path& file,
                                      std::int64_t maximumPixels) {
    const std::optional<std::vector<unsigned char>> bytes = readWholeFile(fs, file);
    if (!bytes)
        return std::nullopt;
    if (isJpeg(*bytes))
        return jpegDecodes(*bytes, maximumPixels);
    if (isWebp(*bytes))
        return webpDecodes(*bytes, maximumPixels);
    if (isPng(*bytes))
        return pngDecodes(*bytes, maximumPixels);
    return std::nullopt;
}

} // namespace velk
