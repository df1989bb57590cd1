#include "bp_plug_image.h"

#include "bp_pe_image.h"

namespace bootpack {
namespace {

constexpr uint64_t kFourGiB = 0x100000000ULL;
// Offsets of the fields read, from e_lfanew and within a section header.
constexpr uint32_t kLfanewOffset = 0x3C;
constexpr uint32_t kNumberOfSectionsOffset = 6;
constexpr uint32_t kSizeOfOptionalHeaderOffset = 20;
constexpr uint32_t kMagicOffset = 24;
constexpr uint32_t kSizeOfRawDataOffset = 16;
constexpr uint32_t kPointerToRawDataOffset = 20;
constexpr uint32_t kNameSize = 8;

}  // namespace

bool PlugImage::Open(const wchar_t* path) {
  Close();
  uint32_t size = 0;
  mapped_ = MapImageFile(path, &size);
  if (mapped_ == nullptr) return false;
  file_ = ByteView(mapped_, size);
  if (!CheckHeaders()) {
    Close();
    return false;
  }
  return true;
}

bool PlugImage::OpenMemory(const void* data, uint64_t size) {
  Close();
  if (data == nullptr || size >= kFourGiB) return false;
  file_ = ByteView(data, static_cast<uint32_t>(size));
  if (!CheckHeaders()) {
    Close();
    return false;
  }
  return true;
}

void PlugImage::Close() {
  if (mapped_ != nullptr) UnmapViewOfFile(mapped_);
  mapped_ = nullptr;
  file_ = ByteView();
  table_ = 0;
  count_ = 0;
}

bool PlugImage::CheckHeaders() {
  uint16_t mz = 0, sections = 0, magic = 0, optional_size = 0;
  uint32_t nt = 0, signature = 0;
  if (!file_.ReadU16(0, &mz) || mz != IMAGE_DOS_SIGNATURE || !file_.ReadU32(kLfanewOffset, &nt) ||
      nt < kDosHeaderSize || !file_.Contains(nt, kNtHeadersSize) ||
      !file_.ReadU32(nt, &signature) || signature != IMAGE_NT_SIGNATURE ||
      !file_.ReadU16(nt + kMagicOffset, &magic) || magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      // The table is taken to follow the standard 240-byte optional header.
      !file_.ReadU16(nt + kSizeOfOptionalHeaderOffset, &optional_size) ||
      optional_size != sizeof(IMAGE_OPTIONAL_HEADER64) ||
      !file_.ReadU16(nt + kNumberOfSectionsOffset, &sections) || sections == 0 ||
      sections > kMaxSections ||
      !file_.Contains(nt + kNtHeadersSize, sections * kSectionHeaderSize)) {
    return false;
  }
  table_ = nt + kNtHeadersSize;
  count_ = sections;
  return true;
}

bool PlugImage::FindSection(const wchar_t* name, uint32_t* index) const {
  if (name == nullptr) return false;
  for (uint32_t i = 0; i < count_; ++i) {
    const ByteView field = file_.Slice(table_ + i * kSectionHeaderSize, kNameSize);
    if (field.empty()) return false;
    if (SectionNameIs(field.data(), name)) {
      if (index != nullptr) *index = i;
      return true;
    }
  }
  return false;
}

ByteView PlugImage::SectionBytes(uint32_t index) const {
  if (index >= count_) return ByteView();
  const uint32_t header = table_ + index * kSectionHeaderSize;
  uint32_t raw = 0, pointer = 0;
  if (!file_.ReadU32(header + kSizeOfRawDataOffset, &raw) ||
      !file_.ReadU32(header + kPointerToRawDataOffset, &pointer)) {
    return ByteView();
  }
  return file_.Slice(pointer, raw);
}

}  // namespace bootpack
