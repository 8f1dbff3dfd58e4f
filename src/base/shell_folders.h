// Shell special folders, reached through functions that every served system
// exports by name.
#pragma once

#include <windows.h>

namespace vtpi {

// The file-system path of a shell special folder (CSIDL_*), MAX_PATH units;
// true only when the folder was found and converted to a path.
bool GetSpecialFolderPath(int csidl, wchar_t* path);

}  // namespace vtpi
