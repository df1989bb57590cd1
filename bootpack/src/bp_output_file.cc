#include "bp_output_file.h"

namespace bootpack {

bool SetDeleteDisposition(HANDLE handle, bool delete_file) {
  FILE_DISPOSITION_INFO info;
  info.DeleteFile = delete_file ? TRUE : FALSE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof(info)) != FALSE;
}

bool OutputFile::Open(const wchar_t* path) {
  Close();
  if (!BoundedCopy(path_, path)) return false;
  // CREATE_NEW first: replacing truncates, and ext4 (under Wine) then
  // flushes the whole file to disk when it is closed. The result is the same.
  handle_ = CreateFileW(path_, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
    handle_ = CreateFileW(path_, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                          CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  if (handle_ == INVALID_HANDLE_VALUE) {
    path_[0] = 0;
    return false;
  }
  return true;
}

void OutputFile::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
  path_[0] = 0;
}

bool OutputFile::MarkDeleteOnClose() {
  return IsOpen() && SetDeleteDisposition(handle_, true);
}

HANDLE OutputFile::Duplicate() const {
  if (!IsOpen()) return INVALID_HANDLE_VALUE;
  HANDLE process = GetCurrentProcess();
  HANDLE copy = nullptr;
  if (!DuplicateHandle(process, handle_, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return INVALID_HANDLE_VALUE;
  }
  return copy;
}

}  // namespace bootpack
