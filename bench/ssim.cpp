// Structural similarity of candidate images against one reference, for bench/encoders.sh.
//
//   ssim REFERENCE CANDIDATE...   prints one SSIM per candidate, one a line
//
// SSIM of Wang et al. (2004): 11x11 Gaussian window (sigma 1.5), K1 0.01, K2 0.03,
// L 255, computed on each of R, G and B and averaged over the channels and the full
// windows ("valid" region). Images with transparency are compared twice, flattened on
// white and on black, and the two results averaged, so a colour change under a
// half-transparent pixel counts and one under a fully transparent pixel does not.
#include <cstdio>
#include <vector>

#include <vips/vips8>

using vips::VImage;

namespace {

VImage toSRGB(VImage image) {
    if (image.interpretation() != VIPS_INTERPRETATION_sRGB)
        image = image.colourspace(VIPS_INTERPRETATION_sRGB);
    if (image.format() != VIPS_FORMAT_UCHAR)
        image = image.cast(VIPS_FORMAT_UCHAR);
    return image;
}

bool hasAlpha(const VImage& image) {
    return image.bands() == 4;
}

VImage flattened(const VImage& image, double background) {
    if (!hasAlpha(image))
        return image;
    return image.flatten(VImage::option()->set(
        "background", std::vector<double>{background, background, background}));
}

double ssim(VImage x, VImage y) {
    constexpr double c1 = (0.01 * 255) * (0.01 * 255);
    constexpr double c2 = (0.03 * 255) * (0.03 * 255);
    const VImage window = VImage::gaussmat(
        1.5, 0.003,
        VImage::option()->set("separable", true)->set("precision", VIPS_PRECISION_FLOAT));
    const auto blur = [&](const VImage& image) {
        return image.convsep(window, VImage::option()->set("precision", VIPS_PRECISION_FLOAT));
    };
    x = x.cast(VIPS_FORMAT_FLOAT);
    y = y.cast(VIPS_FORMAT_FLOAT);
    const VImage mx = blur(x);
    const VImage my = blur(y);
    const VImage sxx = blur(x * x) - mx * mx;
    const VImage syy = blur(y * y) - my * my;
    const VImage sxy = blur(x * y) - mx * my;
    VImage map =
        ((2 * mx * my + c1) * (2 * sxy + c2)) / ((mx * mx + my * my + c1) * (sxx + syy + c2));
    const int margin = window.width() / 2;
    if (map.width() > 2 * margin && map.height() > 2 * margin)
        map = map.crop(margin, margin, map.width() - 2 * margin, map.height() - 2 * margin);
    return map.avg();
}

double compare(VImage reference, VImage candidate) {
    if (reference.width() != candidate.width() || reference.height() != candidate.height())
        throw vips::VError("the images differ in size");
    if (!hasAlpha(reference) && !hasAlpha(candidate))
        return ssim(reference, candidate);
    return (ssim(flattened(reference, 255), flattened(candidate, 255)) +
            ssim(flattened(reference, 0), flattened(candidate, 0))) /
           2;
}

} // namespace

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0]))
        vips_error_exit(nullptr);
    if (argc < 3) {
        std::fprintf(stderr, "usage: ssim REFERENCE CANDIDATE...\n");
        return 2;
    }
    int status = 0;
    try {
        const VImage reference = toSRGB(VImage::new_from_file(argv[1]));
        for (int i = 2; i < argc; ++i) {
            try {
                const VImage candidate = toSRGB(VImage::new_from_file(argv[i]));
                std::printf("%.6f\n", compare(reference, candidate));
            } catch (const vips::VError& error) {
                std::fprintf(stderr, "ssim: %s: %s\n", argv[i], error.what());
                std::printf("nan\n");
                status = 1;
            }
            std::fflush(stdout);
        }
    } catch (const vips::VError& error) {
        std::fprintf(stderr, "ssim: %s: %s\n", argv[1], error.what());
        return 1;
    }
    vips_shutdown();
    return status;
}
