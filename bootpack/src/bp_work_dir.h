// The private work directory: "CR_" + 5 hex digits + ".tmp" under the temp
// directory (or beside the program), with an explicit ACL where the volume
// keeps ACLs.
#pragma once

#include <windows.h>

#include "bp_exit_code.h"
#include "bp_text.h"

namespace bootpack {

// Under the user's temp directory; false with the exit code set.
bool CreateWorkDirInTemp(wchar_t (&work_dir)[kPathCapacity], ExitResult* result);

// The temp directory first, then beside the program (`module`'s file).
bool CreateWorkDir(HMODULE module, wchar_t (&work_dir)[kPathCapacity], ExitResult* result);

// `base` ends in "\". On success the work directory (ending in "\") is in
// `work_dir` and the exit code is 0; otherwise 108, 109 or 117.
bool CreateUniqueWorkDir(const wchar_t* base, wchar_t (&work_dir)[kPathCapacity],
                         ExitResult* result);

// False only when a descriptor is needed and cannot be built; true with a
// null descriptor when the volume keeps no ACLs.
bool MakeWorkDirSecurity(const wchar_t* path, PSECURITY_DESCRIPTOR* descriptor);

// The process token's owner SID as text, released with LocalFree.
bool GetOwnerSidString(wchar_t** sid_text);

// The SDDL text of the work directory for an owner SID text.
bool BuildWorkDirSddl(const wchar_t* owner_sid, wchar_t* sddl, size_t capacity);

// Two upper-case digits per byte, high nibble first, then a NUL; fails and
// writes nothing when 2 x count is not below the capacity.
bool HexEncode(const uint8_t* bytes, size_t count, wchar_t* out, size_t capacity);

}  // namespace bootpack
