// Expansion of the setup program's cabinet through cabinet.dll (FDI).
#pragma once

#include <stddef.h>
#include <windows.h>

namespace bootpack {

// Loads cabinet.dll from the first candidate path that loads: under
// %WINDIR%, under %SYSTEMROOT%, then the fixed C:\Windows one. Returns the
// module (null when none loads) and sets `candidate` (when given) to the
// index of the path used. Each call loads anew; the expansion keeps the first
// module it gets for the life of the process.
HMODULE LoadCabinetCandidate(size_t* candidate);

// Expands the cabinet's first file into `destination`. True only when that
// file was written completely and the decoder reported success; otherwise no
// destination file is left behind.
bool ExpandCabinet(const wchar_t* cabinet_path, const wchar_t* destination);

}  // namespace bootpack
