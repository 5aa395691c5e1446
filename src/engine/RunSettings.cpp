#include "engine/RunSettings.h"

#include "engine/ProcessedFileRegistry.h"

namespace velk {

RunSettings runSettings(const AppConfig& config, double toolTimeLimitBase,
                        double toolTimeLimitPerMegapixel) {
    const QualitySettings& q = config.qualities;
    RunSettings settings;
    settings.config = config;
    settings.key = processingSettingsKey(rawValue(config.preset), rawValue(config.formatStrategy),
                                         rawValue(config.originalPolicy), q.jpeg, q.png, q.webp,
                                         q.avif, q.heic);
    settings.toolTimeLimitBase = toolTimeLimitBase;
    settings.toolTimeLimitPerMegapixel = toolTimeLimitPerMegapixel;
    return settings;
}

} // namespace velk
