// Extraction of the payload archive and the setup program from our own
// resources into the work directory.
#pragma once

#include <windows.h>

#include "bp_byte_view.h"
#include "bp_exit_code.h"
#include "bp_installer_config.h"
#include "bp_registry.h"
#include "bp_text.h"

namespace bootpack {

constexpr DWORD kWriteChunk = 8 * 1024 * 1024;

// A resource found in a module.
class ResourceRef {
 public:
  ResourceRef(HMODULE module, HRSRC resource) : module_(module), resource_(resource) {}

  bool IsValid() const { return resource_ != nullptr; }
  DWORD Size() const { return IsValid() ? SizeofResource(module_, resource_) : 0; }
  // The resource's bytes as mapped in the image; empty when it cannot load.
  ByteView Bytes() const;
  bool WriteToFile(const wchar_t* path) const;

 private:
  HMODULE module_;
  HRSRC resource_;
};

// Creates (or replaces) the file and writes all bytes in 8 MiB chunks. A
// failed write removes the partial file and keeps the write's last error.
bool WriteBufferToFile(const wchar_t* path, const void* bytes, DWORD size);

// Context of one walk over a resource type. The paths point at the caller's
// buffers so a written file is recorded for cleanup as soon as it exists.
struct PayloadWalk {
  const wchar_t* work_dir;
  wchar_t* archive_path;
  wchar_t* setup_path;
  bool stopped;
};

BOOL CALLBACK OnPayloadResource(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR walk);

// On success the setup path names the work directory's "setup.exe" and the
// archive path the extracted payload. Whatever was written is named by the
// two paths, on failure too.
ExitResult ExtractPayload(const InstallerConfig& config, HMODULE module, const wchar_t* work_dir,
                          wchar_t (&archive_path)[kPathCapacity],
                          wchar_t (&setup_path)[kPathCapacity]);

// The product key in the 32-bit view: HKLM for a machine-wide install, HKCU
// otherwise.
LONG OpenProductKey(RegKey* key, bool is_machine, REGSAM access);

// The installed setup program named by "UninstallString": 0, 110 or 111.
ExitResult FindPreviousSetup(bool is_machine, const wchar_t* previous_version,
                             wchar_t (&setup_path)[kPathCapacity]);

}  // namespace bootpack
