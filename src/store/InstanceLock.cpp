#include "store/InstanceLock.h"

#include <system_error>

#include "core/Constants.h"
#include "core/Locations.h"

namespace velk {

FolderLock lockApplicationSupportFolder() {
    const auto folder = velkApplicationSupportDirectory();
    std::error_code ignored; // a folder that cannot be made fails the lock just below
    std::filesystem::create_directories(folder, ignored);
    return FolderLock::lockFile(folder / instanceLockFileName);
}

} // namespace velk
