// Whether two images hold the same pixels, for bench/png.sh: a lossless rewrite may change
// the PNG's colour type and bit depth (palette, grey, 16 to 8 bits) but never a pixel.
//
//   samepixels REFERENCE CANDIDATE...   prints "same" or "differ" per candidate, one a line
//
// Both sides are widened to 16-bit RGBA first (8-bit samples times 257, grey copied to R,
// G and B, a missing alpha opaque), so only the values are compared, every pixel
// including fully transparent ones.
#include <cstdio>
#include <vector>

#include <vips/vips8>

using vips::VImage;

namespace {

VImage widened(VImage image) {
    const bool alpha = image.has_alpha();
    const int colours = image.bands() - (alpha ? 1 : 0);
    VImage colour = image.extract_band(0, VImage::option()->set("n", colours));
    if (colours == 1)
        colour = VImage::bandjoin(std::vector<VImage>{colour, colour, colour});
    VImage out =
        alpha ? VImage::bandjoin(std::vector<VImage>{colour, image.extract_band(colours)}) : colour;
    const bool sixteen = image.format() == VIPS_FORMAT_USHORT;
    out = sixteen ? out.cast(VIPS_FORMAT_USHORT) : out.cast(VIPS_FORMAT_USHORT) * 257;
    if (!alpha)
        out = out.bandjoin_const({65535});
    return out.cast(VIPS_FORMAT_USHORT);
}

bool same(const VImage& a, const VImage& b) {
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    return (widened(a) - widened(b)).abs().max() == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (VIPS_INIT(argv[0]))
        vips_error_exit(nullptr);
    if (argc < 3) {
        std::fprintf(stderr, "usage: samepixels REFERENCE CANDIDATE...\n");
        return 2;
    }
    int status = 0;
    try {
        const VImage reference = VImage::new_from_file(argv[1]);
        for (int i = 2; i < argc; ++i) {
            try {
                std::printf("%s\n",
                            same(reference, VImage::new_from_file(argv[i])) ? "same" : "differ");
            } catch (const vips::VError& error) {
                std::fprintf(stderr, "samepixels: %s: %s\n", argv[i], error.what());
                std::printf("error\n");
                status = 1;
            }
            std::fflush(stdout);
        }
    } catch (const vips::VError& error) {
        std::fprintf(stderr, "samepixels: %s: %s\n", argv[1], error.what());
        return 1;
    }
    vips_shutdown();
    return status;
}
