#include "platform/HeifEncoding.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

namespace velk {

namespace {

/// libaom's speed 6 rather than libvips' default 5: a quarter of the time or less for
/// sizes within a few per cent either way at the same quality, which matters more for a
/// background service on a laptop than the last bytes.
constexpr int aomSpeed = 6;
/// libaom uses a second core only across tiles: row threading alone leaves one busy in
/// an all-intra frame. Two tile columns cost about 0.2 % in bytes and nearly halve the
/// time on two cores; narrow images are not split.
constexpr std::int64_t minimumWidthForTiles = 512;
/// x265's "slow", libheif's default, takes about twice the time of "medium" for some
/// 7 % fewer bytes at the same quality setting.
constexpr const char* x265Preset = "medium";

struct ContextFree {
    void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct EncoderRelease {
    void operator()(heif_encoder* encoder) const noexcept { heif_encoder_release(encoder); }
};
struct ImageRelease {
    void operator()(heif_image* image) const noexcept { heif_image_release(image); }
};
struct OptionsFree {
    void operator()(heif_encoding_options* options) const noexcept {
        heif_encoding_options_free(options);
    }
};

void check(const heif_error& error, const char* what) {
    if (error.code != heif_error_Ok)
        throw std::runtime_error(std::string("libheif: ") + what + ": " +
                                 (error.message ? error.message : "unknown error"));
}

struct RowCopy {
    std::uint8_t* plane = nullptr;
    int stride = 0;
    std::size_t rowBytes = 0;
};

int copyRows(VipsRegion* region, VipsRect* area, void* data) {
    const auto* copy = static_cast<const RowCopy*>(data);
    for (int y = 0; y < area->height; ++y) {
        const int row = area->top + y;
        std::memcpy(copy->plane + static_cast<std::ptrdiff_t>(row) * copy->stride,
                    VIPS_REGION_ADDR(region, area->left, row), copy->rowBytes);
    }
    return 0;
}

heif_error appendTo(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

} // namespace

HeifEncoderSettings heifEncoderSettings(HeifCodec codec, int quality, std::int64_t width,
                                        unsigned cores) {
    // Full-resolution colour from Q 90 up, as libvips decides.
    HeifEncoderSettings settings{{{"chroma", quality >= 90 ? "444" : "420"}}};
    if (codec == HeifCodec::hevc) {
        settings.parameters.emplace_back("preset", x265Preset);
        return settings;
    }
    const unsigned threads = std::clamp(cores, 1u, 4u);
    settings.parameters.emplace_back("speed", std::to_string(aomSpeed));
    settings.parameters.emplace_back("threads", std::to_string(threads));
    if (threads > 1 && width >= minimumWidthForTiles)
        settings.parameters.emplace_back("aom:tile-columns", "1");
    return settings;
}

std::string encodeHeif(vips::VImage&& input, HeifCodec codec, int quality) {
    if (input.bands() != 3 && input.bands() != 4)
        throw std::runtime_error("libheif: only RGB and RGBA are encoded");
    vips::VImage image =
        input.format() == VIPS_FORMAT_UCHAR ? input : input.cast(VIPS_FORMAT_UCHAR);
    input = vips::VImage();
    const bool alpha = image.bands() == 4;
    const int width = image.width();
    const int height = image.height();

    std::unique_ptr<heif_context, ContextFree> context(heif_context_alloc());
    if (!context)
        throw std::runtime_error("libheif: no context");
    heif_encoder* rawEncoder = nullptr;
    check(heif_context_get_encoder_for_format(
              context.get(), codec == HeifCodec::av1 ? heif_compression_AV1 : heif_compression_HEVC,
              &rawEncoder),
          "no encoder");
    std::unique_ptr<heif_encoder, EncoderRelease> encoder(rawEncoder);
    check(heif_encoder_set_lossy_quality(encoder.get(), quality), "quality");
    check(heif_encoder_set_lossless(encoder.get(), 0), "lossless");
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (const auto& [name, value] : heifEncoderSettings(codec, quality, width, cores).parameters)
        check(heif_encoder_set_parameter(encoder.get(), name.c_str(), value.c_str()), name.c_str());

    heif_image* rawImage = nullptr;
    check(heif_image_create(width, height, heif_colorspace_RGB,
                            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                            &rawImage),
          "image");
    std::unique_ptr<heif_image, ImageRelease> heifImage(rawImage);
    check(heif_image_add_plane(heifImage.get(), heif_channel_interleaved, width, height, 8),
          "plane");
    RowCopy copy;
    copy.plane = heif_image_get_plane(heifImage.get(), heif_channel_interleaved, &copy.stride);
    copy.rowBytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(image.bands());
    // Straight into libheif's plane, row by row: no second whole copy of the pixels.
    if (!copy.plane || vips_sink_disc(image.get_image(), copyRows, &copy) != 0)
        throw std::runtime_error(std::string("libvips: ") + vips_error_buffer());

    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        size_t size = 0;
        const void* profile = image.get_blob(VIPS_META_ICC_NAME, &size);
        check(heif_image_set_raw_color_profile(heifImage.get(), "prof", profile, size), "profile");
    }
    // libheif has its own copy now; the encoder's frames need the room.
    image = vips::VImage();

    std::unique_ptr<heif_encoding_options, OptionsFree> options(heif_encoding_options_alloc());
    options->save_alpha_channel = alpha ? 1 : 0;
    heif_image_handle* handle = nullptr;
    check(heif_context_encode_image(context.get(), heifImage.get(), encoder.get(), options.get(),
                                    &handle),
          "encode");
    heif_image_handle_release(handle);
    // The pixels are no longer needed while the file is assembled.
    heifImage.reset();

    std::string bytes;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = appendTo;
    check(heif_context_write(context.get(), &writer, &bytes), "write");
    return bytes;
}

} // namespace velk
