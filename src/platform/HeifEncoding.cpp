#include "platform/HeifEncoding.h"

#include <libheif/heif.h>

#include "platform/HeapTuning.h"

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
/// Full-resolution colour from Q 90 up, as libvips decides.
constexpr int fullChromaQuality = 90;

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

/// The encoders take YCbCr. libheif would convert our RGB itself, into a second whole
/// copy of the picture kept beside ours for the length of the encode (a fifth of a 50 MP
/// encode's peak); converting row pairs from libvips straight into the planes the encoder
/// reads keeps only the one. The arithmetic is libheif's own for its default colour
/// description (BT.601 coefficients, full range), to the bit, so the files are the same.
class YCbCrPlanes {
public:
    YCbCrPlanes(heif_image* image, int width, bool alpha, bool fullChroma)
        : width_(width), bytesPerPixel_(alpha ? 4 : 3), fullChroma_(fullChroma) {
        y_ = heif_image_get_plane(image, heif_channel_Y, &yStride_);
        cb_ = heif_image_get_plane(image, heif_channel_Cb, &cbStride_);
        cr_ = heif_image_get_plane(image, heif_channel_Cr, &crStride_);
        if (alpha)
            alpha_ = heif_image_get_plane(image, heif_channel_Alpha, &alphaStride_);
        if (!y_ || !cb_ || !cr_ || (alpha && !alpha_))
            throw std::runtime_error("libheif: no planes");
        const float kr = 0.299f;
        const float kb = 0.114f;
        luma_[0] = kr;
        luma_[1] = 1 - kr - kb;
        luma_[2] = kb;
        blueDifference_[0] = -kr / (1 - kb) / 2;
        blueDifference_[1] = -(1 - kr - kb) / (1 - kb) / 2;
        blueDifference_[2] = 0.5f;
        redDifference_[0] = 0.5f;
        redDifference_[1] = -(1 - kr - kb) / (1 - kr) / 2;
        redDifference_[2] = -kb / (1 - kr) / 2;
    }

    /// Rows `y` and `y + 1` of the picture; `below` is null for the last row of an odd
    /// height. With 4:2:0 chroma, `y` is even.
    void convert(int y, const std::uint8_t* row, const std::uint8_t* below) {
        lumaAndAlpha(y, row);
        if (below)
            lumaAndAlpha(y + 1, below);
        if (fullChroma_) {
            chromaRow(y, row);
            if (below)
                chromaRow(y + 1, below);
            return;
        }
        std::uint8_t* cb = cb_ + static_cast<std::ptrdiff_t>(y / 2) * cbStride_;
        std::uint8_t* cr = cr_ + static_cast<std::ptrdiff_t>(y / 2) * crStride_;
        const int n = bytesPerPixel_;
        int x = 0;
        for (; x + 1 < width_; x += 2) {
            const std::uint8_t* p = row + x * n;
            std::uint8_t rgb[3];
            for (int c = 0; c < 3; ++c) {
                if (below) {
                    const std::uint8_t* q = below + x * n;
                    rgb[c] = static_cast<std::uint8_t>((p[c] + p[n + c] + q[c] + q[n + c]) / 4);
                } else {
                    rgb[c] = static_cast<std::uint8_t>((p[c] + p[n + c]) / 2);
                }
            }
            chroma(cb + x / 2, cr + x / 2, rgb[0], rgb[1], rgb[2]);
        }
        if (x < width_) {
            const std::uint8_t* p = row + x * n;
            std::uint8_t rgb[3];
            for (int c = 0; c < 3; ++c)
                rgb[c] = below ? static_cast<std::uint8_t>((p[c] + below[x * n + c]) / 2) : p[c];
            chroma(cb + x / 2, cr + x / 2, rgb[0], rgb[1], rgb[2]);
        }
    }

private:
    static std::uint8_t clip(float value) {
        const long rounded = static_cast<long>(value + 0.5f);
        return static_cast<std::uint8_t>(std::clamp(rounded, 0L, 255L));
    }

    void lumaAndAlpha(int y, const std::uint8_t* row) {
        std::uint8_t* out = y_ + static_cast<std::ptrdiff_t>(y) * yStride_;
        for (int x = 0; x < width_; ++x) {
            const std::uint8_t* p = row + x * bytesPerPixel_;
            out[x] = clip(p[0] * luma_[0] + p[1] * luma_[1] + p[2] * luma_[2]);
        }
        if (!alpha_)
            return;
        std::uint8_t* a = alpha_ + static_cast<std::ptrdiff_t>(y) * alphaStride_;
        for (int x = 0; x < width_; ++x)
            a[x] = row[x * 4 + 3];
    }

    void chromaRow(int y, const std::uint8_t* row) {
        std::uint8_t* cb = cb_ + static_cast<std::ptrdiff_t>(y) * cbStride_;
        std::uint8_t* cr = cr_ + static_cast<std::ptrdiff_t>(y) * crStride_;
        for (int x = 0; x < width_; ++x) {
            const std::uint8_t* p = row + x * bytesPerPixel_;
            chroma(cb + x, cr + x, p[0], p[1], p[2]);
        }
    }

    void chroma(std::uint8_t* cb, std::uint8_t* cr, std::uint8_t r, std::uint8_t g,
                std::uint8_t b) const {
        const float blue = r * blueDifference_[0] + g * blueDifference_[1] + b * blueDifference_[2];
        const float red = r * redDifference_[0] + g * redDifference_[1] + b * redDifference_[2];
        *cb = clip(blue + 128);
        *cr = clip(red + 128);
    }

    int width_;
    int bytesPerPixel_;
    bool fullChroma_;
    std::uint8_t* y_ = nullptr;
    std::uint8_t* cb_ = nullptr;
    std::uint8_t* cr_ = nullptr;
    std::uint8_t* alpha_ = nullptr;
    int yStride_ = 0;
    int cbStride_ = 0;
    int crStride_ = 0;
    int alphaStride_ = 0;
    float luma_[3]{};
    float blueDifference_[3]{};
    float redDifference_[3]{};
};

struct RegionUnref {
    void operator()(VipsRegion* region) const noexcept { g_object_unref(region); }
};

void fillPlanes(const vips::VImage& image, YCbCrPlanes& planes) {
    std::unique_ptr<VipsRegion, RegionUnref> region(vips_region_new(image.get_image()));
    // Strips of an even number of rows, so that no row pair is split; top to bottom, as a
    // sequential decoder delivers them.
    constexpr int stripRows = 64;
    const int height = image.height();
    for (int top = 0; top < height; top += stripRows) {
        VipsRect area{0, top, image.width(), std::min(stripRows, height - top)};
        if (!region || vips_region_prepare(region.get(), &area) != 0)
            throw std::runtime_error(std::string("libvips: ") + vips_error_buffer());
        for (int y = top; y < top + area.height; y += 2) {
            const auto* row =
                reinterpret_cast<const std::uint8_t*>(VIPS_REGION_ADDR(region.get(), 0, y));
            const auto* below = y + 1 < height ? reinterpret_cast<const std::uint8_t*>(
                                                     VIPS_REGION_ADDR(region.get(), 0, y + 1))
                                               : nullptr;
            planes.convert(y, row, below);
        }
    }
}

heif_error appendTo(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<std::string*>(userdata)->append(static_cast<const char*>(data), size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

} // namespace

HeifEncoderSettings heifEncoderSettings(HeifCodec codec, int quality, std::int64_t width,
                                        unsigned cores) {
    HeifEncoderSettings settings{{{"chroma", quality >= fullChromaQuality ? "444" : "420"}}};
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

    const bool fullChroma = quality >= fullChromaQuality;
    heif_image* rawImage = nullptr;
    check(heif_image_create(width, height, heif_colorspace_YCbCr,
                            fullChroma ? heif_chroma_444 : heif_chroma_420, &rawImage),
          "image");
    std::unique_ptr<heif_image, ImageRelease> heifImage(rawImage);
    const int chromaWidth = fullChroma ? width : (width + 1) / 2;
    const int chromaHeight = fullChroma ? height : (height + 1) / 2;
    check(heif_image_add_plane(heifImage.get(), heif_channel_Y, width, height, 8), "plane");
    check(heif_image_add_plane(heifImage.get(), heif_channel_Cb, chromaWidth, chromaHeight, 8),
          "plane");
    check(heif_image_add_plane(heifImage.get(), heif_channel_Cr, chromaWidth, chromaHeight, 8),
          "plane");
    if (alpha)
        check(heif_image_add_plane(heifImage.get(), heif_channel_Alpha, width, height, 8), "plane");
    YCbCrPlanes planes(heifImage.get(), width, alpha, fullChroma);
    fillPlanes(image, planes);
    // The description libheif gives a picture it converts itself; the encoders are told the
    // same and the file says the same.
    std::unique_ptr<heif_color_profile_nclx, void (*)(heif_color_profile_nclx*)> nclx(
        heif_nclx_color_profile_alloc(), heif_nclx_color_profile_free);
    if (!nclx)
        throw std::runtime_error("libheif: no colour description");
    nclx->color_primaries = heif_color_primaries_unspecified;
    nclx->transfer_characteristics = heif_transfer_characteristic_unspecified;
    nclx->matrix_coefficients = heif_matrix_coefficients_ITU_R_BT_601_6;
    nclx->full_range_flag = 1;
    check(heif_image_set_nclx_color_profile(heifImage.get(), nclx.get()), "colour description");

    if (image.get_typeof(VIPS_META_ICC_NAME) != 0) {
        size_t size = 0;
        const void* profile = image.get_blob(VIPS_META_ICC_NAME, &size);
        check(heif_image_set_raw_color_profile(heifImage.get(), "prof", profile, size), "profile");
    }
    // libheif has its own copy now; the encoder's frames need the room, and so does what
    // the decoder left free on the heap.
    image = vips::VImage();
    releaseFreeHeapMemory();

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
