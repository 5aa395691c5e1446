#pragma once

#include "platform/VipsImageCodec.h"

namespace velk::test {

/// The real codec behind every call; a test overrides only the calls it wants to bend.
class ForwardingCodec : public ImageCodec {
public:
    std::vector<std::string> writableTypeIdentifiers() const override {
        return real_.writableTypeIdentifiers();
    }
    std::optional<ImageProperties> readProperties(const std::filesystem::path& f) const override {
        return real_.readProperties(f);
    }
    std::shared_ptr<const Raster> decode(const std::filesystem::path& f) const override {
        return real_.decode(f);
    }
    bool canDecode(const std::filesystem::path& f) const override { return real_.canDecode(f); }
    std::shared_ptr<const Raster> decodeUpright(const std::filesystem::path& f) const override {
        return real_.decodeUpright(f);
    }
    bool encode(const Raster& r, const std::filesystem::path& d, std::string_view t,
                std::optional<double> q) const override {
        return real_.encode(r, d, t, q);
    }
    std::optional<RgbaBitmap> render(const Raster& r, const ColorSpace& s,
                                     Background b) const override {
        return real_.render(r, s, b);
    }
    bool renderBands(const Raster& r, const ColorSpace& s, Background b,
                     const BandSink& sink) const override {
        return real_.renderBands(r, s, b, sink);
    }

protected:
    VipsImageCodec real_;
};

} // namespace velk::test
