// A file the installer writes: extracted resources, the expanded setup
// program, extracted plug-ins.
#pragma once

#include <windows.h>

#include "bp_text.h"

namespace bootpack {

class OutputFile {
 public:
  OutputFile() { path_[0] = 0; }
  ~OutputFile() { Close(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates (or replaces) the file with write and delete access, shared for
  // delete only. Failure empties the path.
  bool Open(const wchar_t* path);
  void Close();
  // The file disappears when its last handle closes.
  bool MarkDeleteOnClose();
  // Same access, same process, not inheritable; INVALID_HANDLE_VALUE on failure.
  HANDLE Duplicate() const;

  bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Handle() const { return handle_; }
  const wchar_t* Path() const { return path_; }

 private:
  PathBuffer path_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Sets the delete disposition of an open handle.
bool SetDeleteDisposition(HANDLE handle, bool delete_file);

}  // namespace bootpack
