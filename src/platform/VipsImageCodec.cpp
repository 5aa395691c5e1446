#include "platform/VipsImageCodec.h"

#include <fcntl.h>
#include <libheif/heif.h>
#include <unistd.h>
#include <vips/vips8>
#include <webp/decode.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <utility>

#include "core/NativeLog.h"
#include "core/Paths.h"
#include "platform/DecodeCheck.h"
#include "platform/HeifEncoding.h"
#include "platform/IccProfiles.h"
#include "platform/PosixFileSystem.h"

namespace velk {

namespace fs = std::filesystem;
using vips::VError;
using vips::VImage;
using vips::VSource;

namespace {

constexpr const char* allowedLoaders[] = {"VipsForeignLoadJpeg", "VipsForeignLoadPng",
                                          "VipsForeignLoadWebp", "VipsForeignLoadHeif"};

void logGlibMessage(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    std::string line = "vips: ";
    if (domain && std::strcmp(domain, "VIPS") != 0)
        line += std::string(domain) + ": ";
    line += message ? message : "";
    if (level & (G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG)) {
        NativeLog::debug(line);
    } else {
        NativeLog::write(line);
    }
}

/// Sets libvips up once per process; false when it cannot start (every call then fails).
bool vipsReady() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        if (VIPS_INIT("velk-compressor") != 0) {
            NativeLog::write(std::string("vips: initialisation failed: ") + vips_error_buffer());
            vips_error_clear();
            return;
        }
        // With the cache on, opening a file again after it was replaced under the same
        // name returns the old pixels.
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
        vips_concurrency_set(1);

        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const char* loader : allowedLoaders)
            vips_operation_block_set(loader, FALSE);

        const auto levels =
            static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL | G_LOG_FLAG_RECURSION);
        g_log_set_handler("VIPS", levels, logGlibMessage, nullptr);
        g_log_set_handler("GLib-GObject", levels, logGlibMessage, nullptr);

        // Registers libheif's built-in encoders, which writableTypeIdentifiers asks about.
        heif_init(nullptr);
        ready = true;
    });
    return ready;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

void logFailure(std::string_view what, const fs::path& file, std::string_view reason,
                bool quiet = false) {
    std::string line = "vips: " + std::string(what);
    if (!file.empty())
        line += " " + displayPath(file);
    line += ": " + trimmed(std::string(reason));
    if (quiet) {
        NativeLog::debug(line);
    } else {
        NativeLog::write(line);
    }
}

/// Runs `body`, turning every exception into `fallback` and a log line. libvips' error
/// buffer is cleared so it does not grow with each failure.
template <typename Result, typename Body>
Result guarded(std::string_view what, const fs::path& file, Result fallback, Body&& body,
               bool quiet = false) {
    if (!vipsReady())
        return fallback;
    try {
        return body();
    } catch (const VError& error) {
        logFailure(what, file, error.what(), quiet);
    } catch (const std::exception& error) {
        logFailure(what, file, error.what(), quiet);
    } catch (...) {
        logFailure(what, file, "unknown error", quiet);
    }
    vips_error_clear();
    return fallback;
}

/// Opens lazily: only the header is read until pixels are asked for. A source (rather
/// than new_from_file) keeps libvips from reading "[options]" out of the file name.
VImage openImage(const fs::path& file) {
    std::error_code ec;
    // A FIFO or device would block or never end; only regular files are images here.
    if (!fs::is_regular_file(file, ec))
        throw std::runtime_error("not a regular file");
    VSource source = VSource::new_from_file(file.c_str());
    return VImage::new_from_source(source, "",
                                   VImage::option()
                                       ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                       ->set("fail_on", VIPS_FAIL_ON_TRUNCATED));
}

std::optional<std::string> stringField(const VImage& image, const char* name) {
    if (image.get_typeof(name) == 0)
        return std::nullopt;
    const char* value = nullptr;
    if (vips_image_get_string(image.get_image(), name, &value) != 0 || !value) {
        vips_error_clear();
        return std::nullopt;
    }
    return std::string(value);
}

std::optional<std::string> iccProfileOf(const VImage& image) {
    if (image.get_typeof(VIPS_META_ICC_NAME) == 0)
        return std::nullopt;
    const void* data = nullptr;
    size_t length = 0;
    if (vips_image_get_blob(image.get_image(), VIPS_META_ICC_NAME, &data, &length) != 0) {
        vips_error_clear();
        return std::nullopt;
    }
    if (!data || length == 0)
        return std::nullopt;
    return std::string(static_cast<const char*>(data), length);
}

std::optional<int> orientationOf(const VImage& image) {
    if (image.get_typeof(VIPS_META_ORIENTATION) == 0)
        return std::nullopt;
    int orientation = 0;
    if (vips_image_get_int(image.get_image(), VIPS_META_ORIENTATION, &orientation) != 0) {
        vips_error_clear();
        return std::nullopt;
    }
    if (orientation < 1 || orientation > 8)
        return std::nullopt;
    return orientation;
}

std::optional<std::string> typeIdentifierOf(const VImage& image) {
    const std::optional<std::string> loader = stringField(image, VIPS_META_LOADER);
    if (!loader)
        return std::nullopt;
    auto startsWith = [&](std::string_view prefix) { return loader->rfind(prefix, 0) == 0; };
    if (startsWith("jpegload"))
        return std::string(typeIdentifier::jpeg);
    if (startsWith("pngload"))
        return std::string(typeIdentifier::png);
    if (startsWith("webpload"))
        return std::string(typeIdentifier::webp);
    if (startsWith("heifload")) {
        const std::optional<std::string> compression = stringField(image, "heif-compression");
        if (compression == "av1")
            return std::string(typeIdentifier::avif);
        if (compression == "hevc")
            return std::string(typeIdentifier::heic);
        // A HEIF container around another codec (JPEG, AVC): not a type we name.
        return std::string("public.heif");
    }
    return std::nullopt;
}

ColorModel modelOf(const VImage& image) {
    switch (image.interpretation()) {
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_scRGB:
        return ColorModel::rgb;
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
        return ColorModel::monochrome;
    case VIPS_INTERPRETATION_CMYK:
        return ColorModel::cmyk;
    case VIPS_INTERPRETATION_LAB:
    case VIPS_INTERPRETATION_LABQ:
    case VIPS_INTERPRETATION_LABS:
        return ColorModel::lab;
    case VIPS_INTERPRETATION_MULTIBAND: {
        const int colourBands = image.bands() - (image.has_alpha() ? 1 : 0);
        if (colourBands == 1)
            return ColorModel::monochrome;
        if (colourBands == 3)
            return ColorModel::rgb;
        return ColorModel::other;
    }
    default:
        return ColorModel::other;
    }
}

std::optional<ColorSpace> colorSpaceOf(const VImage& image) {
    ColorSpace space;
    space.model = modelOf(image);
    space.iccData = iccProfileOf(image);
    if (space.iccData) {
        space.name = icc::isSrgb(*space.iccData) ? std::optional<std::string>("sRGB")
                                                 : icc::description(*space.iccData);
        return space;
    }
    switch (space.model) {
    case ColorModel::rgb:
        space.name = "sRGB";
        return space;
    case ColorModel::monochrome:
    case ColorModel::cmyk:
    case ColorModel::lab:
        return space;
    case ColorModel::other:
        return std::nullopt;
    }
    return std::nullopt;
}

/// A first frame held in memory, with its colour space worked out once.
class VipsRaster final : public Raster {
public:
    explicit VipsRaster(VImage image)
        : image_(std::move(image)), colorSpace_(colorSpaceOf(image_)) {}

    std::int64_t width() const override { return image_.width(); }
    std::int64_t height() const override { return image_.height(); }
    AlphaInfo alphaInfo() const override {
        return image_.has_alpha() ? AlphaInfo::last : AlphaInfo::none;
    }
    std::optional<ColorSpace> colorSpace() const override { return colorSpace_; }

    const VImage& image() const { return image_; }

private:
    VImage image_;
    std::optional<ColorSpace> colorSpace_;
};

struct HeifContextFree {
    void operator()(heif_context* context) const noexcept { heif_context_free(context); }
};
struct HeifHandleRelease {
    void operator()(heif_image_handle* handle) const noexcept { heif_image_handle_release(handle); }
};

/// The primary image's ICC profile, read with libheif.
std::optional<std::string> heifIccProfile(const fs::path& file) {
    std::unique_ptr<heif_context, HeifContextFree> context(heif_context_alloc());
    if (!context ||
        heif_context_read_from_file(context.get(), file.c_str(), nullptr).code != heif_error_Ok) {
        throw std::runtime_error("libheif cannot read the file");
    }
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) {
        throw std::runtime_error("libheif finds no primary image");
    }
    std::unique_ptr<heif_image_handle, HeifHandleRelease> handle(rawHandle);
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(handle.get());
    if (type != heif_color_profile_type_prof && type != heif_color_profile_type_rICC)
        return std::nullopt;
    std::string profile(heif_image_handle_get_raw_color_profile_size(handle.get()), '\0');
    if (profile.empty() ||
        heif_image_handle_get_raw_color_profile(handle.get(), profile.data()).code !=
            heif_error_Ok) {
        return std::nullopt;
    }
    return profile;
}

/// libvips 8.14.1's heifload frees the buffers behind its ICC, EXIF and XMP fields while
/// the image still points at them: any read is a use after free (AddressSanitizer shows
/// it, and the profile's first bytes come back overwritten). Drop every such field before
/// anything reads it (removing only releases libvips' reference, nothing is freed twice)
/// and put back a copy of the profile read with libheif. The EXIF is not needed: the
/// orientation is a field of its own, and encode writes no EXIF.
void replaceHeifBlobs(VImage& image, const fs::path& file) {
    gchar** fields = vips_image_get_fields(image.get_image());
    for (gchar** field = fields; field && *field; ++field) {
        if (vips_image_get_typeof(image.get_image(), *field) == VIPS_TYPE_BLOB) {
            vips_image_remove(image.get_image(), *field);
        }
    }
    g_strfreev(fields);
    if (const std::optional<std::string> profile = heifIccProfile(file)) {
        vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, profile->data(),
                                 profile->size());
    }
}

/// 16-bit samples, alpha included, as 8-bit ones (v / 257: 65535 becomes 255).
VImage narrowedToEightBit(const VImage& image) {
    VipsInterpretation interpretation = image.interpretation();
    if (interpretation == VIPS_INTERPRETATION_RGB16)
        interpretation = VIPS_INTERPRETATION_sRGB;
    else if (interpretation == VIPS_INTERPRETATION_GREY16)
        interpretation = VIPS_INTERPRETATION_B_W;
    return (image / 257.0)
        .cast(VIPS_FORMAT_UCHAR)
        .copy(VImage::option()->set("interpretation", interpretation));
}

/// A still WebP decoded by libwebp straight into the image's memory, with the header's
/// profile and orientation. webpload decodes into a canvas of its own first and copies
/// it out: two whole images, 350 MB for 50 megapixels. None for an animation (left to
/// libvips); throws when the data does not decode.
std::optional<VImage> decodeWebPStill(const FileReader& reader, const fs::path& file,
                                      const VImage& header) {
    const std::string bytes = reader.readFile(file);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config) ||
        WebPGetFeatures(data, bytes.size(), &config.input) != VP8_STATUS_OK)
        throw std::runtime_error("not a WebP file");
    if (config.input.has_animation || config.input.width != header.width() ||
        config.input.height != header.height())
        return std::nullopt;
    const int bands = config.input.has_alpha ? 4 : 3;
    VImage image = VImage::new_memory();
    vips_image_init_fields(image.get_image(), header.width(), header.height(), bands,
                           VIPS_FORMAT_UCHAR, VIPS_CODING_NONE, VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
    if (vips_image_write_prepare(image.get_image()) != 0)
        throw VError();
    const std::size_t size = VIPS_IMAGE_SIZEOF_IMAGE(image.get_image());
    config.output.colorspace = bands == 4 ? MODE_RGBA : MODE_RGB;
    config.output.is_external_memory = 1;
    config.output.u.RGBA.rgba = VIPS_IMAGE_ADDR(image.get_image(), 0, 0);
    config.output.u.RGBA.stride = header.width() * bands;
    config.output.u.RGBA.size = size;
    const VP8StatusCode status = WebPDecode(data, bytes.size(), &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK)
        throw std::runtime_error("WebP data does not decode (status " + std::to_string(status) +
                                 ")");
    if (const std::optional<std::string> profile = iccProfileOf(header))
        vips_image_set_blob_copy(image.get_image(), VIPS_META_ICC_NAME, profile->data(),
                                 profile->size());
    if (const std::optional<int> orientation = orientationOf(header))
        vips_image_set_int(image.get_image(), VIPS_META_ORIENTATION, *orientation);
    vips_image_set_string(image.get_image(), VIPS_META_LOADER, "webpload");
    return image;
}

/// WebP frames and HEIF's top-level images, as libvips counts them ("n-pages"); 1 when
/// it counts none.
std::int64_t pageCountOf(const VImage& image) {
    int pages = 1;
    if (image.get_typeof(VIPS_META_N_PAGES) != 0 &&
        vips_image_get_int(image.get_image(), VIPS_META_N_PAGES, &pages) != 0) {
        vips_error_clear();
        pages = 1;
    }
    return std::max(pages, 1);
}

/// Reads the whole first frame into memory so truncation and corruption fail here.
VImage loadFully(const FileReader& reader, const fs::path& file) {
    VImage image = openImage(file);
    const std::int64_t pixels = std::int64_t{image.width()} * image.height();
    if (pixels <= 0 || pixels > VipsImageCodec::maximumDecodedPixels) {
        throw std::runtime_error("image too large to decode (" + std::to_string(image.width()) +
                                 "x" + std::to_string(image.height()) + ")");
    }
    const std::string loader = stringField(image, VIPS_META_LOADER).value_or("");
    const bool heif = loader.rfind("heifload", 0) == 0;
    // A PNG's pixels are only ever encoded into 8-bit formats (a PNG output starts from
    // the file's own bytes), so 16-bit samples are narrowed as they are read: half the
    // memory, 147 MB rather than 294 for a 7000 × 7000 RGB image.
    if (loader.rfind("pngload", 0) == 0 && image.format() == VIPS_FORMAT_USHORT)
        image = narrowedToEightBit(image);
    if (loader.rfind("webpload", 0) == 0) {
        if (std::optional<VImage> still = decodeWebPStill(reader, file, image))
            return *still;
    }
    VImage memory = image.copy_memory();
    if (heif)
        replaceHeifBlobs(memory, file);
    return memory;
}

// ---- encoding ----

enum class Saver { jpeg, png, webp, avif, heic };

std::optional<Saver> saverFor(std::string_view type) {
    if (type == typeIdentifier::jpeg)
        return Saver::jpeg;
    if (type == typeIdentifier::png)
        return Saver::png;
    if (type == typeIdentifier::webp)
        return Saver::webp;
    if (type == typeIdentifier::avif)
        return Saver::avif;
    if (type == typeIdentifier::heic)
        return Saver::heic;
    return std::nullopt;
}

/// A copy whose only metadata is the ICC profile. 8.14's `strip` would drop the profile
/// too, and left in place EXIF would carry a stale orientation (pngsave even writes its
/// eXIf chunk twice).
VImage withOnlyIccProfile(const VImage& in) {
    VImage out = in.copy();
    gchar** fields = vips_image_get_fields(out.get_image());
    for (gchar** field = fields; field && *field; ++field) {
        if (std::strcmp(*field, VIPS_META_ICC_NAME) != 0)
            vips_image_remove(out.get_image(), *field);
    }
    g_strfreev(fields);
    return out;
}

bool isSixteenBit(const VImage& image) {
    return image.format() == VIPS_FORMAT_USHORT ||
           image.interpretation() == VIPS_INTERPRETATION_RGB16 ||
           image.interpretation() == VIPS_INTERPRETATION_GREY16;
}

VImage toEightBit(const VImage& image) {
    if (image.interpretation() == VIPS_INTERPRETATION_RGB16)
        return image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.interpretation() == VIPS_INTERPRETATION_GREY16)
        return image.colourspace(VIPS_INTERPRETATION_B_W);
    if (image.format() == VIPS_FORMAT_USHORT)
        return (image / 257.0).cast(VIPS_FORMAT_UCHAR);
    return image;
}

icc::Channels channelsOf(const VImage& image) {
    const int colourBands = image.bands() - (image.has_alpha() ? 1 : 0);
    if (colourBands == 1)
        return icc::Channels::grey;
    if (colourBands == 4 && image.interpretation() == VIPS_INTERPRETATION_CMYK)
        return icc::Channels::cmyk;
    return icc::Channels::rgb;
}

/// Brings the raster into a form the saver takes without guessing: RGB (or grey) with
/// the matching profile; CMYK stays CMYK only for JPEG; alpha is dropped over white
/// for JPEG.
VImage prepareForSaving(const VImage& raster, Saver saver) {
    VImage image = raster;
    const VipsInterpretation interpretation = image.interpretation();
    if (interpretation == VIPS_INTERPRETATION_CMYK && saver != Saver::jpeg) {
        // Through the embedded profile, or libvips' own CMYK profile; the result carries
        // libvips' sRGB profile.
        image = image.icc_transform(
            "srgb",
            VImage::option()->set("embedded", true)->set("input_profile", "cmyk")->set("depth", 8));
    } else if (interpretation == VIPS_INTERPRETATION_LAB ||
               interpretation == VIPS_INTERPRETATION_LABQ ||
               interpretation == VIPS_INTERPRETATION_LABS ||
               interpretation == VIPS_INTERPRETATION_XYZ ||
               interpretation == VIPS_INTERPRETATION_scRGB) {
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        vips_image_remove(image.get_image(), VIPS_META_ICC_NAME);
    }
    if (saver != Saver::png && isSixteenBit(image))
        image = toEightBit(image);
    if (saver == Saver::jpeg && image.has_alpha()) {
        const int colourBands = image.bands() - 1;
        image = image.flatten(
            VImage::option()->set("background", std::vector<double>(colourBands, 255.0)));
        image = image.cast(VIPS_FORMAT_UCHAR);
    }

    // WebP and HEIF hold only RGB: libvips would widen grey itself but keep the grey
    // profile, which no longer describes the pixels.
    const bool rgbOnly = saver == Saver::webp || saver == Saver::avif || saver == Saver::heic;
    if (rgbOnly && image.bands() - (image.has_alpha() ? 1 : 0) == 1) {
        const std::optional<std::string> profile = iccProfileOf(image);
        if (profile && icc::profileMatches(*profile, icc::Channels::grey)) {
            image = image.icc_transform("srgb",
                                        VImage::option()->set("embedded", true)->set("depth", 8));
        } else {
            image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        }
    }
    image = withOnlyIccProfile(image);
    if (const std::optional<std::string> profile = iccProfileOf(image);
        profile && !icc::profileMatches(*profile, channelsOf(image))) {
        vips_image_remove(image.get_image(), VIPS_META_ICC_NAME);
    }
    return image;
}

struct BlobUnref {
    void operator()(VipsBlob* blob) const noexcept {
        vips_area_unref(reinterpret_cast<VipsArea*>(blob));
    }
};
using Blob = std::unique_ptr<VipsBlob, BlobUnref>;

/// libheif directly rather than heifsave, which cannot pass the encoder the settings
/// that let it use a second core. 16-bit input arrives here as 8 bits. `image` is cleared:
/// with no other reference to them, its pixels are freed once libheif has copied them.
Blob heifBlob(VImage&& image, Saver saver, std::optional<int> q) {
    const std::string bytes = encodeHeif(
        std::move(image), saver == Saver::avif ? HeifCodec::av1 : HeifCodec::hevc, q.value_or(50));
    VipsBlob* blob = vips_blob_copy(bytes.data(), bytes.size());
    if (!blob)
        throw std::runtime_error("no memory for the encoded file");
    return Blob(blob);
}

std::optional<int> qualityPercent(std::optional<double> quality) {
    if (quality && std::isfinite(*quality))
        return static_cast<int>(std::clamp(std::lround(*quality * 100.0), 1L, 100L));
    return std::nullopt;
}

/// Encodes into memory, and the file is written below where every error is seen: saving
/// straight to a file under a 1000-byte file-size limit reported success and left a
/// truncated PNG behind.
Blob encodeToMemory(const VImage& image, Saver saver, std::optional<int> q) {
    if (saver == Saver::avif || saver == Saver::heic)
        return heifBlob(VImage(image), saver, q);
    vips::VOption* options = VImage::option();
    if (q && saver != Saver::png)
        options->set("Q", *q);
    switch (saver) {
    case Saver::jpeg:
        return Blob(image.jpegsave_buffer(options->set("optimize_coding", true)));
    case Saver::png:
        return Blob(image.pngsave_buffer(options));
    case Saver::webp:
        return Blob(image.webpsave_buffer(options));
    case Saver::avif:
    case Saver::heic:
        break;
    }
    throw std::logic_error("unknown saver");
}

/// Writes the bytes to `destination`; on any failure the file is removed again.
void writeFile(const fs::path& destination, const VipsBlob* blob) {
    size_t size = 0;
    const auto* data = static_cast<const char*>(vips_blob_get(const_cast<VipsBlob*>(blob), &size));
    if (!data || size == 0)
        throw std::runtime_error("the encoder produced no data");

    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "open");
    int error = 0;
    for (size_t written = 0; written < size && error == 0;) {
        const ssize_t n = ::write(fd, data + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
        } else {
            written += static_cast<size_t>(n);
        }
    }
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error != 0) {
        ::unlink(destination.c_str());
        throw std::system_error(error, std::generic_category(), "write");
    }
}

// ---- rendering ----

/// The raster reduced to pixels lcms2 takes: grey, RGB or CMYK, 8 or 16 bits, with an
/// optional alpha, and the profile they are in (none: sRGB).
struct RenderSource {
    VImage image;
    icc::Channels channels = icc::Channels::rgb;
    std::optional<std::string> profile;
};

RenderSource prepareForRender(const VImage& raster) {
    RenderSource source{raster, icc::Channels::rgb, iccProfileOf(raster)};
    VImage& image = source.image;

    const VipsInterpretation interpretation = image.interpretation();
    const int colourBands = image.bands() - (image.has_alpha() ? 1 : 0);
    const bool integer =
        image.format() == VIPS_FORMAT_UCHAR || image.format() == VIPS_FORMAT_USHORT;
    bool usable = integer;
    switch (interpretation) {
    case VIPS_INTERPRETATION_CMYK:
        usable = usable && colourBands == 4;
        source.channels = icc::Channels::cmyk;
        break;
    case VIPS_INTERPRETATION_sRGB:
    case VIPS_INTERPRETATION_RGB:
    case VIPS_INTERPRETATION_RGB16:
    case VIPS_INTERPRETATION_B_W:
    case VIPS_INTERPRETATION_GREY16:
    case VIPS_INTERPRETATION_MULTIBAND:
        usable = usable && (colourBands == 1 || colourBands == 3);
        source.channels = colourBands == 1 ? icc::Channels::grey : icc::Channels::rgb;
        break;
    default:
        usable = false;
        break;
    }

    if (usable && source.channels == icc::Channels::cmyk &&
        !(source.profile && icc::profileMatches(*source.profile, icc::Channels::cmyk))) {
        // Untagged CMYK: libvips' built-in CMYK profile, into sRGB.
        image = image.icc_transform(
            "srgb", VImage::option()->set("input_profile", "cmyk")->set("depth", 8));
        source.channels = icc::Channels::rgb;
        source.profile.reset();
    } else if (!usable) {
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        if (image.format() != VIPS_FORMAT_UCHAR)
            image = image.cast(VIPS_FORMAT_UCHAR);
        const int bands = image.bands() - (image.has_alpha() ? 1 : 0);
        if (bands != 3)
            throw std::runtime_error("cannot render " + std::to_string(bands) + " colour bands");
        source.channels = icc::Channels::rgb;
        source.profile.reset();
    }
    if (source.profile && !icc::profileMatches(*source.profile, source.channels))
        source.profile.reset();
    image = image.copy_memory();
    return source;
}

/// Widens grey, narrows 16-bit and adds opaque alpha, for pixels already in the target space.
void copyToRgba8(const VImage& image, icc::Channels channels, std::uint8_t* out) {
    const bool alpha = image.has_alpha();
    const int bands = image.bands();
    const bool wide = image.format() == VIPS_FORMAT_USHORT;
    const auto* bytes = static_cast<const std::uint8_t*>(image.data());
    const auto* words = static_cast<const std::uint16_t*>(image.data());
    auto sample = [&](std::size_t index) -> std::uint8_t {
        if (!wide)
            return bytes[index];
        return static_cast<std::uint8_t>((std::uint32_t{words[index]} * 255 + 32767) / 65535);
    };
    const std::size_t count =
        static_cast<std::size_t>(image.width()) * static_cast<std::size_t>(image.height());
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t in = i * static_cast<std::size_t>(bands);
        std::uint8_t* pixel = out + i * 4;
        if (channels == icc::Channels::grey) {
            pixel[0] = pixel[1] = pixel[2] = sample(in);
        } else {
            pixel[0] = sample(in);
            pixel[1] = sample(in + 1);
            pixel[2] = sample(in + 2);
        }
        pixel[3] = alpha ? sample(in + static_cast<std::size_t>(bands) - 1) : 255;
    }
}

/// Straight RGBA drawn over opaque white.
void compositeOverWhite(std::vector<std::uint8_t>& pixels) {
    for (std::size_t i = 0; i < pixels.size(); i += 4) {
        const std::uint32_t alpha = pixels[i + 3];
        if (alpha == 255)
            continue;
        for (std::size_t c = 0; c < 3; ++c) {
            const std::uint32_t value = pixels[i + c] * alpha + 255 * (255 - alpha);
            pixels[i + c] = static_cast<std::uint8_t>((value + 127) / 255);
        }
        pixels[i + 3] = 255;
    }
}

/// Packs opaque RGBA into RGB in place.
void dropAlpha(RgbaBitmap& bitmap) {
    std::uint8_t* pixels = bitmap.pixels.data();
    const std::size_t count = bitmap.pixels.size() / 4;
    for (std::size_t i = 0; i < count; ++i) {
        pixels[i * 3] = pixels[i * 4];
        pixels[i * 3 + 1] = pixels[i * 4 + 1];
        pixels[i * 3 + 2] = pixels[i * 4 + 2];
    }
    bitmap.pixels.resize(count * 3);
    bitmap.channels = 3;
}

/// Whether pixels tagged with `profile` (none: sRGB) are already in `space`.
bool inSpace(const std::optional<std::string>& profile, const ColorSpace& space) {
    // A target without a profile is taken for sRGB, as is a source without one.
    const bool sourceIsSrgb = !profile || icc::isSrgb(*profile);
    const bool targetIsSrgb = !space.iccData || icc::isSrgb(*space.iccData);
    const bool sameProfile = profile && space.iccData && *profile == *space.iccData;
    return (sourceIsSrgb && targetIsSrgb) || sameProfile;
}

/// The raster's own bytes when rendering it would change none of them: opaque 8-bit RGB
/// held in memory, already in `space`, drawn over white (the common photo). Null when
/// any conversion is needed.
const std::uint8_t* renderedAsStored(const VImage& raster, const ColorSpace& space,
                                     Background background) {
    const VipsInterpretation interpretation = raster.interpretation();
    if (background != Background::white || raster.format() != VIPS_FORMAT_UCHAR ||
        raster.bands() != 3 || raster.has_alpha() || raster.get_image()->data == nullptr ||
        (interpretation != VIPS_INTERPRETATION_sRGB && interpretation != VIPS_INTERPRETATION_RGB))
        return nullptr;
    std::optional<std::string> profile = iccProfileOf(raster);
    if (profile && !icc::profileMatches(*profile, icc::Channels::rgb))
        profile.reset();
    if (!inSpace(profile, space))
        return nullptr;
    return static_cast<const std::uint8_t*>(raster.get_image()->data);
}

/// The raster in `space` over `background`, as render() describes it.
RgbaBitmap renderImage(const VImage& raster, const ColorSpace& space, Background background) {
    const std::int64_t width = raster.width();
    const std::int64_t height = raster.height();
    const RenderSource prepared = prepareForRender(raster);

    const bool sameSpace = inSpace(prepared.profile, space);
    const VImage& image = prepared.image;

    // The common photo: opaque 8-bit RGB already in the target space. Its bytes are
    // the answer, without a detour through RGBA.
    if (sameSpace && background == Background::white && !image.has_alpha() && image.bands() == 3 &&
        image.format() == VIPS_FORMAT_UCHAR && prepared.channels == icc::Channels::rgb) {
        const auto* bytes = static_cast<const std::uint8_t*>(image.data());
        return RgbaBitmap{
            width, height,
            std::vector<std::uint8_t>(bytes, bytes + static_cast<std::size_t>(width * height * 3)),
            3};
    }

    RgbaBitmap bitmap{width, height,
                      std::vector<std::uint8_t>(static_cast<std::size_t>(width * height * 4))};
    if (sameSpace) {
        copyToRgba8(prepared.image, prepared.channels, bitmap.pixels.data());
    } else {
        const icc::PixelBuffer pixels{static_cast<const std::uint8_t*>(image.data()),
                                      width,
                                      height,
                                      prepared.channels,
                                      image.format() == VIPS_FORMAT_USHORT ? 2 : 1,
                                      image.has_alpha()};
        const std::string& target = space.iccData ? *space.iccData : icc::srgbProfile();
        if (!icc::transformToRgba8(pixels, prepared.profile, target, bitmap.pixels.data())) {
            throw std::runtime_error("no colour transform into " +
                                     space.name.value_or("the target space"));
        }
    }
    // Over transparency the colour stays straight: premultiplying it here and dividing
    // it out again for the tools lost most of the colour of nearly clear pixels.
    if (background == Background::white) {
        compositeOverWhite(bitmap.pixels);
        dropAlpha(bitmap);
    }
    return bitmap;
}

} // namespace

VipsImageCodec::VipsImageCodec() : VipsImageCodec(systemFileSystem()) {}

VipsImageCodec::VipsImageCodec(const FileSystem& fs) : fs_(fs) {
    vipsReady();
}

std::vector<std::string> VipsImageCodec::writableTypeIdentifiers() const {
    if (!vipsReady())
        return {};
    auto hasSaver = [](const char* name) {
        if (vips_foreign_find_save(name) != nullptr)
            return true;
        vips_error_clear();
        return false;
    };
    std::vector<std::string> types;
    if (hasSaver("x.jpg"))
        types.emplace_back(typeIdentifier::jpeg);
    if (hasSaver("x.png"))
        types.emplace_back(typeIdentifier::png);
    if (hasSaver("x.webp"))
        types.emplace_back(typeIdentifier::webp);
    // heifsave is there whatever libheif can encode; ask libheif.
    if (hasSaver("x.avif") && heif_have_encoder_for_format(heif_compression_AV1)) {
        types.emplace_back(typeIdentifier::avif);
    }
    if (hasSaver("x.heic") && heif_have_encoder_for_format(heif_compression_HEVC)) {
        types.emplace_back(typeIdentifier::heic);
    }
    return types;
}

std::optional<ImageProperties> VipsImageCodec::readProperties(const fs::path& file) const {
    return guarded<std::optional<ImageProperties>>(
        "cannot read the header of", file, std::nullopt,
        [&]() -> std::optional<ImageProperties> {
            const VImage image = openImage(file);
            ImageProperties properties;
            properties.width = image.width();
            properties.height = image.height();
            properties.orientation = orientationOf(image);
            properties.typeIdentifier = typeIdentifierOf(image);
            properties.hasAlpha = image.has_alpha();
            properties.pictureCount = pageCountOf(image);
            return properties;
        },
        /*quiet=*/true);
}

std::shared_ptr<const Raster> VipsImageCodec::decode(const fs::path& file) const {
    return guarded<std::shared_ptr<const Raster>>("cannot decode", file, nullptr, [&] {
        return std::make_shared<const VipsRaster>(loadFully(fs_, file));
    });
}

bool VipsImageCodec::canDecode(const fs::path& file) const {
    return guarded<bool>("cannot decode", file, false, [&] {
        if (const std::optional<bool> decoded =
                decodesCompletely(fs_, file, maximumDecodedPixels)) {
            if (!*decoded)
                logFailure("cannot decode", file, "corrupt, truncated or too large");
            return *decoded;
        }
        loadFully(fs_, file);
        return true;
    });
}

std::shared_ptr<const Raster> VipsImageCodec::decodeUpright(const fs::path& file) const {
    return guarded<std::shared_ptr<const Raster>>("cannot decode", file, nullptr, [&] {
        VImage image = loadFully(fs_, file);
        const std::optional<int> orientation = orientationOf(image);
        // Turned as it is read rather than copied turned: a second whole raster beside
        // the first would double the memory of every sideways photo. Each band rendered
        // later reads its pixels from the decoded image in memory.
        if (orientation && *orientation != 1)
            image = image.autorot();
        // An image nobody else holds (the cache is off), so the tag can go in place: the
        // pixels read upright now.
        image.remove(VIPS_META_ORIENTATION);
        return std::make_shared<const VipsRaster>(std::move(image));
    });
}

bool VipsImageCodec::encode(const Raster& raster, const fs::path& destination,
                            std::string_view type, std::optional<double> quality) const {
    const auto* source = dynamic_cast<const VipsRaster*>(&raster);
    const std::optional<Saver> saver = saverFor(type);
    if (!source || !saver || !vipsReady())
        return false;

    const std::optional<int> q = qualityPercent(quality);
    return guarded<bool>("cannot encode", destination, false, [&] {
        const Blob encoded = encodeToMemory(prepareForSaving(source->image(), *saver), *saver, q);
        writeFile(destination, encoded.get());
        return true;
    });
}

bool VipsImageCodec::encodeTaking(std::shared_ptr<const Raster> raster, const fs::path& destination,
                                  std::string_view type, std::optional<double> quality) const {
    const std::optional<Saver> saver = saverFor(type);
    if (!saver || (*saver != Saver::avif && *saver != Saver::heic))
        return ImageCodec::encodeTaking(std::move(raster), destination, type, quality);
    const auto* source = dynamic_cast<const VipsRaster*>(raster.get());
    if (!source || !vipsReady())
        return false;
    const std::optional<int> q = qualityPercent(quality);
    return guarded<bool>("cannot encode", destination, false, [&] {
        VImage prepared = prepareForSaving(source->image(), *saver);
        // From here the prepared image is the only way to the pixels (the caller handed
        // over its reference), and the encoder drops it once it has copied them.
        source = nullptr;
        raster.reset();
        const Blob encoded = heifBlob(std::move(prepared), *saver, q);
        writeFile(destination, encoded.get());
        return true;
    });
}

std::optional<RgbaBitmap> VipsImageCodec::render(const Raster& raster, const ColorSpace& space,
                                                 Background background) const {
    const auto* source = dynamic_cast<const VipsRaster*>(&raster);
    if (!source)
        return std::nullopt;
    const std::int64_t width = source->width();
    const std::int64_t height = source->height();
    if (width <= 0 || height <= 0 || width > maximumRenderedBytes / 4 / height)
        return std::nullopt;
    return guarded<std::optional<RgbaBitmap>>("cannot render", fs::path(), std::nullopt, [&] {
        return std::optional<RgbaBitmap>(renderImage(source->image(), space, background));
    });
}

bool VipsImageCodec::renderBands(const Raster& raster, const ColorSpace& space,
                                 Background background, const BandSink& sink) const {
    const auto* source = dynamic_cast<const VipsRaster*>(&raster);
    if (!source)
        return false;
    const std::int64_t width = source->width();
    const std::int64_t height = source->height();
    if (width <= 0 || height <= 0 || width > maximumRenderedBytes / 4 / height)
        return false;
    // Each band is converted on its own (its own copy in memory, its own colour
    // transform), so a 50-megapixel raster costs a few megabytes here, not another
    // 200 on top of the decoded one.
    const std::int64_t rowsPerBand = std::clamp<std::int64_t>(bandBytes / (width * 4), 1, height);
    // Copying a photo's bands only to write them out again cost more than the writing.
    if (const std::uint8_t* stored =
            guarded<const std::uint8_t*>("cannot render", fs::path(), nullptr, [&] {
                return renderedAsStored(source->image(), space, background);
            })) {
        const auto rowBytes = static_cast<std::size_t>(width) * 3;
        for (std::int64_t top = 0; top < height; top += rowsPerBand) {
            const std::int64_t rows = std::min(rowsPerBand, height - top);
            sink(BitmapBand{width, rows,
                            std::span(stored + static_cast<std::size_t>(top) * rowBytes,
                                      static_cast<std::size_t>(rows) * rowBytes),
                            3});
        }
        return true;
    }
    for (std::int64_t top = 0; top < height; top += rowsPerBand) {
        const std::int64_t rows = std::min(rowsPerBand, height - top);
        std::optional<RgbaBitmap> band =
            guarded<std::optional<RgbaBitmap>>("cannot render", fs::path(), std::nullopt, [&] {
                const VImage strip = source->image().crop(
                    0, static_cast<int>(top), static_cast<int>(width), static_cast<int>(rows));
                return std::optional<RgbaBitmap>(renderImage(strip, space, background));
            });
        if (!band)
            return false;
        // Outside the guard: a stop or a full disc in the sink is the caller's to see.
        sink(BitmapBand{band->width, band->height, band->pixels, band->channels});
    }
    return true;
}

} // namespace velk
