// Expansion of the setup program's cabinet through cabinet.dll (FDI).
#pragma once

namespace bootpack {

// Expands the cabinet's first file into `destination`. True only when that
// file was written completely and the decoder reported success; otherwise no
// destination file is left behind.
bool ExpandCabinet(const wchar_t* cabinet_path, const wchar_t* destination);

}  // namespace bootpack
