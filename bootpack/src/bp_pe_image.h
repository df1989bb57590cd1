// In-memory model of a PE32+ executable: header copies plus one data block
// per section. Plug-ins travel in the installer's own file as extra sections;
// this reads that file, appends initialised-data sections and writes a copy.
#pragma once

#include <windows.h>

#include <stddef.h>
#include <stdint.h>

#include "bp_byte_view.h"

namespace bootpack {

constexpr uint32_t kMaxSections = 20;
constexpr uint32_t kDosHeaderSize = 64;
// Signature, file header and the 64-bit optional header with 16 directories.
constexpr uint32_t kNtHeadersSize = 264;
constexpr uint32_t kSectionHeaderSize = 40;
// Largest file alignment the PE format allows; bounds each section block.
constexpr uint32_t kMaxFileAlignment = 0x10000;
// Initialised data, readable, writable.
constexpr uint32_t kAddedSectionCharacteristics = 0xC0000040;

static_assert(sizeof(IMAGE_DOS_HEADER) == kDosHeaderSize, "DOS header layout");
static_assert(sizeof(IMAGE_NT_HEADERS64) == kNtHeadersSize, "NT headers layout");
static_assert(sizeof(IMAGE_SECTION_HEADER) == kSectionHeaderSize, "section header layout");

// The smallest multiple of `alignment` not below `value`; false when the
// alignment is zero or the result does not fit 32 bits.
bool AlignUp(uint64_t value, uint32_t alignment, uint32_t* aligned);

// Maps a whole file read-only. A file shorter than a DOS header or of 4 GiB
// and more is refused before anything is mapped. The view keeps the mapping
// alive once the handles are closed; the caller releases it with
// UnmapViewOfFile. Null on failure.
const void* MapImageFile(const wchar_t* path, uint32_t* size);

// True when a section's 8-byte name field (UTF-8, no NUL when all 8 bytes
// are used) reads exactly as `name`; case-sensitive.
bool SectionNameIs(const uint8_t* field, const wchar_t* name);

class PeImage {
 public:
  PeImage();
  ~PeImage() { Release(); }
  PeImage(const PeImage&) = delete;
  PeImage& operator=(const PeImage&) = delete;

  // Reads an executable file (under 4 GiB) into the model.
  bool Load(const wchar_t* path);
  // The same checks and copies over bytes in memory; nothing is read before
  // it has been checked against `size`. On failure the model is empty.
  bool LoadFromMemory(const void* data, uint64_t size);

  // Appends an initialised-data section after every existing one. Its block
  // (the last one) is zeroed and belongs to the caller to fill. Null when the
  // slots or the header room run out, the name takes more than 7 UTF-8 bytes,
  // the size is 0, or the layout would pass 4 GiB.
  IMAGE_SECTION_HEADER* AddSection(const wchar_t* name, uint64_t size);

  // Rounds every section to the alignments, recomputes SizeOfImage and clears
  // the load-configuration, bound-import and import-address-table directories.
  // False (the model unchanged) when the rounded raw data would overlap or the
  // sizes would pass 32 bits.
  bool FinalizeLayout();

  // Lays the model out and writes it, truncating a longer existing file. A
  // failed write deletes the output; nothing is created when the layout or the
  // buffer fails.
  bool Save(const wchar_t* path);

  void Release();

  bool IsLoaded() const { return loaded_; }
  uint32_t SectionCount() const { return section_count_; }
  const IMAGE_DOS_HEADER& DosHeader() const { return dos_header_; }
  const IMAGE_NT_HEADERS64& NtHeaders() const { return nt_headers_; }
  // Null past the used slots.
  const IMAGE_SECTION_HEADER* Section(uint32_t index) const;

  // The index of the first section whose name field (at most 8 bytes of
  // UTF-8) reads exactly as `name`; case-sensitive.
  bool FindSection(const wchar_t* name, uint32_t* index) const;
  // The section's SizeOfRawData bytes; empty past the used slots.
  ByteView SectionBytes(uint32_t index) const;
  // The whole writable block (SizeOfRawData rounded up to FileAlignment).
  uint8_t* SectionBlock(uint32_t index);
  uint32_t SectionBlockSize(uint32_t index) const;

  // End of the laid-out file and of the mapped image: maxima over all
  // sections after rounding (an empty .bss may sit anywhere in the table).
  uint32_t FileEnd() const;
  uint32_t VirtualEnd() const;

 private:
  // Checks and copies everything; the caller empties the model on failure.
  bool CopyIn(const ByteView& file);
  // The rounded layout's ends; false when it cannot be laid out.
  bool CheckLayout(uint32_t* file_end, uint32_t* virtual_end) const;

  IMAGE_DOS_HEADER dos_header_;
  uint8_t* stub_ = nullptr;
  uint32_t stub_size_ = 0;
  IMAGE_NT_HEADERS64 nt_headers_;
  IMAGE_SECTION_HEADER sections_[kMaxSections];
  uint8_t* blocks_[kMaxSections];
  uint32_t block_sizes_[kMaxSections];
  uint32_t section_count_ = 0;
  bool loaded_ = false;
};

}  // namespace bootpack
