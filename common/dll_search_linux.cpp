#include "common/dll_search.h"

namespace tarvo {

bool removeWorkingDirectoryFromDllSearch() noexcept { return true; }

}  // namespace tarvo
