#pragma once

#include "core/Error.h"

namespace velk {

/// Thrown to end processing early: `cancelled` when the engine is stopping,
/// `sourceChanged` when the source (or its backup) no longer matches the version read.
class FolderCompressorControlError : public Error {
public:
    enum class Kind { cancelled, sourceChanged };
    explicit FolderCompressorControlError(Kind kind)
        : Error(kind == Kind::cancelled ? "cancelled" : "source changed"), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

private:
    Kind kind_;
};

} // namespace velk
