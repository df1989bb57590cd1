// The program's own file as an install reads its plugs: mapped read-only,
// never copied (the payload and the plugs are hundreds of megabytes, and the
// plugs are written straight from the mapping). Every header field and
// section range is checked against the file before it is used.
#pragma once

#include <stdint.h>
#include <windows.h>

#include "bp_byte_view.h"

namespace bootpack {

class PlugImage {
 public:
  PlugImage() = default;
  ~PlugImage() { Close(); }
  PlugImage(const PlugImage&) = delete;
  PlugImage& operator=(const PlugImage&) = delete;

  // Maps the file (under 4 GiB) and checks its headers: "MZ", e_lfanew with
  // room for the NT headers, "PE\0\0", PE32+, 1 to 20 sections whose table
  // lies inside the file.
  bool Open(const wchar_t* path);
  // The same over bytes that the caller keeps alive.
  bool OpenMemory(const void* data, uint64_t size);
  void Close();

  uint32_t SectionCount() const { return count_; }
  // The first section whose name field (at most 8 bytes of UTF-8) reads
  // exactly as `name`; case-sensitive.
  bool FindSection(const wchar_t* name, uint32_t* index) const;
  // The section's raw data (SizeOfRawData bytes at PointerToRawData); empty
  // when that range does not lie inside the file.
  ByteView SectionBytes(uint32_t index) const;

 private:
  bool CheckHeaders();

  ByteView file_;
  const void* mapped_ = nullptr;
  uint32_t table_ = 0;
  uint32_t count_ = 0;
};

}  // namespace bootpack
