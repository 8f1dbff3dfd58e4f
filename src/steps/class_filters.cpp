#include "steps/class_filters.h"

#include "base/registry.h"
#include "steps/disk_filter.h"

namespace vtpi {

DWORD UpdateFloppyFilter(bool install) {
    return EditListValue(kFloppyClassKey, kUpperFiltersValue, kFloppyFilterName, install);
}

DWORD UpdateDumpFilter(bool install) {
    return EditListValue(kCrashControlKey, kDumpFiltersValue, kDumpFilterName, install);
}

}  // namespace vtpi
