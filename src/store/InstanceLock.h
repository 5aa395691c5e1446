#pragma once

#include "platform/FolderLock.h"

namespace velk {

/// Takes the lock file of the application support folder (creating the folder) for as
/// long as the returned lock lives: one program per support folder, so two never write
/// the same configuration, history and registry, nor start two engines on its folder.
/// Take it first, before the store reads anything. Throws FolderLockError: `held`, with
/// holderPid() naming the running program (the one a second launch hands over to), or
/// with holderEnding() when a killed run outlasted the wait for its end; `unsafe` when
/// something other than the lock file sits under its name; `unavailable` where the
/// folder cannot hold a lock.
FolderLock lockApplicationSupportFolder();

} // namespace velk
