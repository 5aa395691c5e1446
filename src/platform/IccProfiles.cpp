#include "platform/IccProfiles.h"

#include <lcms2.h>

#include <array>
#include <cmath>
#include <memory>
#include <mutex>

#include "core/NativeLog.h"

namespace velk::icc {

namespace {

struct ProfileCloser {
    void operator()(void* profile) const noexcept { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

struct TransformDeleter {
    void operator()(void* transform) const noexcept { cmsDeleteTransform(transform); }
};
using Transform = std::unique_ptr<void, TransformDeleter>;

struct ToneCurveFreer {
    void operator()(cmsToneCurve* curve) const noexcept { cmsFreeToneCurve(curve); }
};

void logLcmsError(cmsContext, cmsUInt32Number code, const char* text) {
    NativeLog::debug(std::string("lcms2: ") + std::to_string(code) + " " + (text ? text : ""));
}

// lcms2 prints nothing by default; its reasons are useful when a profile is refused.
void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { cmsSetLogErrorHandler(logLcmsError); });
}

Profile openProfile(std::string_view bytes) {
    installErrorHandler();
    if (bytes.empty() || bytes.size() > UINT32_MAX)
        return nullptr;
    return Profile(cmsOpenProfileFromMem(bytes.data(), static_cast<cmsUInt32Number>(bytes.size())));
}

std::string saveProfile(cmsHPROFILE profile) {
    cmsUInt32Number size = 0;
    if (!cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return {};
    std::string bytes(size, '\0');
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return {};
    bytes.resize(size);
    return bytes;
}

double srgbCurve(double v) {
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// IEC 61966-2-1 as an ICC parametric curve of type 4.
std::unique_ptr<cmsToneCurve, ToneCurveFreer> makeSrgbToneCurve() {
    const cmsFloat64Number params[5] = {2.4, 1.0 / 1.055, 0.055 / 1.055, 1.0 / 12.92, 0.04045};
    return std::unique_ptr<cmsToneCurve, ToneCurveFreer>(
        cmsBuildParametricToneCurve(nullptr, 4, params));
}

bool near(const cmsCIEXYZ& xyz, double x, double y, double z) {
    constexpr double tolerance = 0.003;
    return std::fabs(xyz.X - x) <= tolerance && std::fabs(xyz.Y - y) <= tolerance &&
           std::fabs(xyz.Z - z) <= tolerance;
}

cmsColorSpaceSignature signatureOf(Channels channels) {
    switch (channels) {
    case Channels::grey:
        return cmsSigGrayData;
    case Channels::rgb:
        return cmsSigRgbData;
    case Channels::cmyk:
        return cmsSigCmykData;
    }
    return cmsSigRgbData;
}

cmsUInt32Number formatOf(const PixelBuffer& pixels) {
    const cmsUInt32Number bytes = BYTES_SH(static_cast<cmsUInt32Number>(pixels.bytesPerSample));
    const cmsUInt32Number extra = EXTRA_SH(pixels.alpha ? 1 : 0);
    switch (pixels.channels) {
    case Channels::grey:
        return COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | bytes | extra;
    case Channels::rgb:
        return COLORSPACE_SH(PT_RGB) | CHANNELS_SH(3) | bytes | extra;
    case Channels::cmyk:
        return COLORSPACE_SH(PT_CMYK) | CHANNELS_SH(4) | bytes | extra;
    }
    return 0;
}

int channelCount(Channels channels) {
    switch (channels) {
    case Channels::grey:
        return 1;
    case Channels::rgb:
        return 3;
    case Channels::cmyk:
        return 4;
    }
    return 3;
}

Profile defaultProfile(Channels channels) {
    switch (channels) {
    case Channels::rgb:
        return Profile(cmsCreate_sRGBProfile());
    case Channels::grey: {
        auto curve = makeSrgbToneCurve();
        if (!curve)
            return nullptr;
        return Profile(cmsCreateGrayProfile(cmsD50_xyY(), curve.get()));
    }
    case Channels::cmyk:
        return nullptr;
    }
    return nullptr;
}

} // namespace

const std::string& srgbProfile() {
    static const std::string bytes = [] {
        installErrorHandler();
        Profile profile(cmsCreate_sRGBProfile());
        return profile ? saveProfile(profile.get()) : std::string();
    }();
    return bytes;
}

bool isSrgb(std::string_view bytes) {
    Profile profile = openProfile(bytes);
    if (!profile || cmsGetColorSpace(profile.get()) != cmsSigRgbData)
        return false;

    const auto* red =
        static_cast<const cmsCIEXYZ*>(cmsReadTag(profile.get(), cmsSigRedColorantTag));
    const auto* green =
        static_cast<const cmsCIEXYZ*>(cmsReadTag(profile.get(), cmsSigGreenColorantTag));
    const auto* blue =
        static_cast<const cmsCIEXYZ*>(cmsReadTag(profile.get(), cmsSigBlueColorantTag));
    if (!red || !green || !blue)
        return false;
    if (!near(*red, 0.4361, 0.2225, 0.0139) || !near(*green, 0.3851, 0.7169, 0.0971) ||
        !near(*blue, 0.1431, 0.0606, 0.7141)) {
        return false;
    }

    for (cmsTagSignature tag : {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag}) {
        const auto* curve = static_cast<const cmsToneCurve*>(cmsReadTag(profile.get(), tag));
        if (!curve)
            return false;
        for (double x : {0.02, 0.1, 0.25, 0.5, 0.75, 0.9}) {
            const double y = cmsEvalToneCurveFloat(curve, static_cast<cmsFloat32Number>(x));
            if (std::fabs(y - srgbCurve(x)) > 0.01)
                return false;
        }
    }
    return true;
}

std::optional<std::string> description(std::string_view bytes) {
    Profile profile = openProfile(bytes);
    if (!profile)
        return std::nullopt;
    const cmsUInt32Number size =
        cmsGetProfileInfoASCII(profile.get(), cmsInfoDescription, "en", "US", nullptr, 0);
    if (size <= 1)
        return std::nullopt;
    std::string text(size, '\0');
    cmsGetProfileInfoASCII(profile.get(), cmsInfoDescription, "en", "US", text.data(), size);
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    if (text.empty())
        return std::nullopt;
    return text;
}

bool profileMatches(std::string_view bytes, Channels channels) {
    Profile profile = openProfile(bytes);
    return profile && cmsGetColorSpace(profile.get()) == signatureOf(channels);
}

bool transformToRgba8(const PixelBuffer& source, const std::optional<std::string>& sourceProfile,
                      std::string_view targetProfile, std::uint8_t* out) {
    installErrorHandler();
    if (source.width <= 0 || source.height <= 0 || source.width > UINT32_MAX / 8 ||
        source.height > UINT32_MAX) {
        return false;
    }

    Profile input = sourceProfile ? openProfile(*sourceProfile) : defaultProfile(source.channels);
    Profile output = openProfile(targetProfile);
    if (!input || !output)
        return false;
    if (cmsGetColorSpace(input.get()) != signatureOf(source.channels) ||
        cmsGetColorSpace(output.get()) != cmsSigRgbData) {
        return false;
    }

    // Without a source alpha lcms2 leaves the output's extra channel alone: pre-fill it.
    const cmsUInt32Number flags =
        cmsFLAGS_BLACKPOINTCOMPENSATION | (source.alpha ? cmsFLAGS_COPY_ALPHA : 0);
    Transform transform(cmsCreateTransform(input.get(), formatOf(source), output.get(), TYPE_RGBA_8,
                                           INTENT_RELATIVE_COLORIMETRIC, flags));
    if (!transform)
        return false;

    const auto width = static_cast<cmsUInt32Number>(source.width);
    const std::size_t inStride =
        static_cast<std::size_t>(source.width) *
        static_cast<std::size_t>(channelCount(source.channels) + (source.alpha ? 1 : 0)) *
        static_cast<std::size_t>(source.bytesPerSample);
    const std::size_t outStride = static_cast<std::size_t>(source.width) * 4;
    for (std::int64_t y = 0; y < source.height; ++y) {
        std::uint8_t* row = out + static_cast<std::size_t>(y) * outStride;
        if (!source.alpha) {
            for (std::size_t i = 3; i < outStride; i += 4)
                row[i] = 255;
        }
        cmsDoTransform(transform.get(), source.data + static_cast<std::size_t>(y) * inStride, row,
                       width);
    }
    return true;
}

} // namespace velk::icc
