#include "bp_pe_image.h"

#include "bp_output_file.h"
#include "bp_scoped_handle.h"
#include "bp_text.h"

namespace bootpack {
namespace {

constexpr uint64_t kFourGiB = 0x100000000ULL;
constexpr uint32_t kNameFieldSize = IMAGE_SIZEOF_SHORT_NAME;
constexpr DWORD kWriteChunk = 8 * 1024 * 1024;

void* AllocZeroed(uint64_t size) {
  if (size == 0 || size >= kFourGiB) return nullptr;
  return HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<SIZE_T>(size));
}

void FreeBlock(void* block) {
  if (block != nullptr) HeapFree(GetProcessHeap(), 0, block);
}

template <typename Char>
size_t TextLength(const Char* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool SameText(const wchar_t* a, const wchar_t* b) {
  size_t i = 0;
  for (; a[i] != 0 && b[i] != 0; ++i) {
    if (a[i] != b[i]) return false;
  }
  return a[i] == b[i];
}

// Copies `length` bytes to `offset` of the output, refusing anything that
// would not land inside it.
bool Place(uint8_t* out, uint32_t out_size, uint64_t offset, const void* bytes, uint64_t length) {
  if (offset > out_size || length > out_size - offset) return false;
  if (length != 0) CopyBytes(out + offset, bytes, static_cast<size_t>(length));
  return true;
}

bool WriteAll(HANDLE file, const uint8_t* bytes, uint32_t size) {
  uint32_t done = 0;
  while (done < size) {
    const uint32_t left = size - done;
    const DWORD chunk = left < kWriteChunk ? left : kWriteChunk;
    DWORD written = 0;
    if (!WriteFile(file, bytes + done, chunk, &written, nullptr) || written != chunk) return false;
    done += chunk;
  }
  return true;
}

}  // namespace

bool AlignUp(uint64_t value, uint32_t alignment, uint32_t* aligned) {
  if (alignment == 0 || value >= kFourGiB) return false;
  const uint64_t rounded = value + (alignment - 1) - (value + (alignment - 1)) % alignment;
  if (rounded >= kFourGiB) return false;
  *aligned = static_cast<uint32_t>(rounded);
  return true;
}

const void* MapImageFile(const wchar_t* path, uint32_t* size) {
  if (path == nullptr) return nullptr;
  ScopedHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return nullptr;
  LARGE_INTEGER length;
  if (!GetFileSizeEx(file.Get(), &length)) return nullptr;
  // The whole size, not its low half.
  if (length.QuadPart < kDosHeaderSize || static_cast<uint64_t>(length.QuadPart) >= kFourGiB) {
    return nullptr;
  }
  ScopedHandle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.IsValid()) return nullptr;
  const void* view =
      MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, static_cast<SIZE_T>(length.QuadPart));
  if (view != nullptr) *size = static_cast<uint32_t>(length.QuadPart);
  return view;
}

bool SectionNameIs(const uint8_t* field, const wchar_t* name) {
  int length = 0;
  while (length < static_cast<int>(kNameFieldSize) && field[length] != 0) ++length;
  wchar_t wide[kNameFieldSize + 1];
  if (Utf8ToWide(reinterpret_cast<const char*>(field), length, wide, kNameFieldSize + 1) ==
      nullptr) {
    return false;
  }
  return SameText(wide, name);
}

PeImage::PeImage() {
  FillBytes(&dos_header_, 0, sizeof(dos_header_));
  FillBytes(&nt_headers_, 0, sizeof(nt_headers_));
  FillBytes(sections_, 0, sizeof(sections_));
  for (uint32_t i = 0; i < kMaxSections; ++i) {
    blocks_[i] = nullptr;
    block_sizes_[i] = 0;
  }
}

void PeImage::Release() {
  FreeBlock(stub_);
  stub_ = nullptr;
  stub_size_ = 0;
  for (uint32_t i = 0; i < kMaxSections; ++i) {
    FreeBlock(blocks_[i]);
    blocks_[i] = nullptr;
    block_sizes_[i] = 0;
  }
  FillBytes(&dos_header_, 0, sizeof(dos_header_));
  FillBytes(&nt_headers_, 0, sizeof(nt_headers_));
  FillBytes(sections_, 0, sizeof(sections_));
  section_count_ = 0;
  loaded_ = false;
}

bool PeImage::Load(const wchar_t* path) {
  Release();
  uint32_t size = 0;
  const void* view = MapImageFile(path, &size);
  if (view == nullptr) return false;
  // Everything is copied out, so the view does not outlive the load.
  const bool ok = LoadFromMemory(view, size);
  UnmapViewOfFile(view);
  return ok;
}

bool PeImage::LoadFromMemory(const void* data, uint64_t size) {
  Release();
  if (data == nullptr || size < kDosHeaderSize || size >= kFourGiB ||
      !CopyIn(ByteView(data, static_cast<uint32_t>(size)))) {
    Release();
    return false;
  }
  loaded_ = true;
  return true;
}

bool PeImage::CopyIn(const ByteView& file) {
  const uint64_t size = file.size();

  // Header fields are checked on the copies, so bytes that change under a
  // shared mapping cannot pass one check and then be used differently.
  CopyBytes(&dos_header_, file.data(), kDosHeaderSize);
  if (dos_header_.e_magic != IMAGE_DOS_SIGNATURE) return false;
  const uint32_t nt_offset = static_cast<uint32_t>(dos_header_.e_lfanew);
  if (nt_offset < kDosHeaderSize || !file.Contains(nt_offset, kNtHeadersSize)) return false;
  CopyBytes(&nt_headers_, file.data() + nt_offset, kNtHeadersSize);
  const IMAGE_FILE_HEADER& header = nt_headers_.FileHeader;
  const IMAGE_OPTIONAL_HEADER64& optional = nt_headers_.OptionalHeader;
  // The section table is taken to follow the standard 240-byte optional header.
  if (nt_headers_.Signature != IMAGE_NT_SIGNATURE ||
      optional.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC ||
      header.SizeOfOptionalHeader != sizeof(IMAGE_OPTIONAL_HEADER64) ||
      header.NumberOfSections == 0 || header.NumberOfSections > kMaxSections ||
      optional.FileAlignment == 0 || optional.FileAlignment > kMaxFileAlignment ||
      optional.SectionAlignment == 0 || optional.SizeOfHeaders > size) {
    return false;
  }
  const uint32_t count = header.NumberOfSections;
  const uint64_t table_offset = static_cast<uint64_t>(nt_offset) + kNtHeadersSize;
  const uint64_t table_end = table_offset + static_cast<uint64_t>(count) * kSectionHeaderSize;
  if (table_end > optional.SizeOfHeaders) return false;
  CopyBytes(sections_, file.data() + table_offset, count * kSectionHeaderSize);
  for (uint32_t i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& s = sections_[i];
    if (s.SizeOfRawData != 0 && !file.Contains(s.PointerToRawData, s.SizeOfRawData)) {
      return false;
    }
  }
  section_count_ = count;
  uint32_t file_end = 0;
  uint32_t virtual_end = 0;
  if (!CheckLayout(&file_end, &virtual_end)) return false;

  stub_size_ = nt_offset - kDosHeaderSize;
  if (stub_size_ != 0) {
    stub_ = static_cast<uint8_t*>(AllocZeroed(stub_size_));
    if (stub_ == nullptr) return false;
    CopyBytes(stub_, file.data() + kDosHeaderSize, stub_size_);
  }
  for (uint32_t i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& s = sections_[i];
    uint32_t block_size = 0;
    AlignUp(s.SizeOfRawData, optional.FileAlignment, &block_size);  // checked by CheckLayout
    if (block_size == 0) continue;
    blocks_[i] = static_cast<uint8_t*>(AllocZeroed(block_size));
    if (blocks_[i] == nullptr) return false;
    block_sizes_[i] = block_size;
    CopyBytes(blocks_[i], file.data() + s.PointerToRawData, s.SizeOfRawData);
  }
  return true;
}

bool PeImage::CheckLayout(uint32_t* file_end, uint32_t* virtual_end) const {
  const IMAGE_OPTIONAL_HEADER64& optional = nt_headers_.OptionalHeader;
  const uint32_t file_alignment = optional.FileAlignment;
  const uint32_t section_alignment = optional.SectionAlignment;
  // Raw data must follow the headers in table order without overlapping once
  // rounded, so the section that ends the file is the last one holding data.
  uint64_t raw_end = optional.SizeOfHeaders;
  uint64_t image_end = 0;
  for (uint32_t i = 0; i < section_count_; ++i) {
    const IMAGE_SECTION_HEADER& s = sections_[i];
    uint32_t pointer = 0, raw = 0, address = 0, extent = 0;
    // A zero virtual size maps the raw size.
    const uint32_t virtual_size = s.Misc.VirtualSize != 0 ? s.Misc.VirtualSize : s.SizeOfRawData;
    if (!AlignUp(s.PointerToRawData, file_alignment, &pointer) ||
        !AlignUp(s.SizeOfRawData, file_alignment, &raw) ||
        !AlignUp(s.VirtualAddress, section_alignment, &address) ||
        !AlignUp(virtual_size, section_alignment, &extent)) {
      return false;
    }
    if (raw != 0) {
      if (pointer < raw_end || s.PointerToRawData < optional.SizeOfHeaders) return false;
      raw_end = static_cast<uint64_t>(pointer) + raw;
      if (raw_end >= kFourGiB) return false;
    }
    const uint64_t end = static_cast<uint64_t>(address) + extent;
    if (end >= kFourGiB) return false;
    if (end > image_end) image_end = end;
  }
  *file_end = static_cast<uint32_t>(raw_end);
  *virtual_end = static_cast<uint32_t>(image_end);
  return true;
}

uint32_t PeImage::FileEnd() const {
  uint32_t file_end = 0, virtual_end = 0;
  return loaded_ && CheckLayout(&file_end, &virtual_end) ? file_end : 0;
}

uint32_t PeImage::VirtualEnd() const {
  uint32_t file_end = 0, virtual_end = 0;
  return loaded_ && CheckLayout(&file_end, &virtual_end) ? virtual_end : 0;
}

const IMAGE_SECTION_HEADER* PeImage::Section(uint32_t index) const {
  return index < section_count_ ? &sections_[index] : nullptr;
}

ByteView PeImage::SectionBytes(uint32_t index) const {
  if (index >= section_count_ || blocks_[index] == nullptr) return ByteView();
  const uint32_t raw = sections_[index].SizeOfRawData;
  return ByteView(blocks_[index], raw < block_sizes_[index] ? raw : block_sizes_[index]);
}

uint8_t* PeImage::SectionBlock(uint32_t index) {
  return index < section_count_ ? blocks_[index] : nullptr;
}

uint32_t PeImage::SectionBlockSize(uint32_t index) const {
  return index < section_count_ ? block_sizes_[index] : 0;
}

bool PeImage::FindSection(const wchar_t* name, uint32_t* index) const {
  if (name == nullptr) return false;
  for (uint32_t i = 0; i < section_count_; ++i) {
    if (SectionNameIs(sections_[i].Name, name)) {
      if (index != nullptr) *index = i;
      return true;
    }
  }
  return false;
}

IMAGE_SECTION_HEADER* PeImage::AddSection(const wchar_t* name, uint64_t size) {
  if (!loaded_ || name == nullptr || size == 0 || section_count_ >= kMaxSections) return nullptr;
  const IMAGE_OPTIONAL_HEADER64& optional = nt_headers_.OptionalHeader;
  const uint64_t table_end = static_cast<uint64_t>(static_cast<uint32_t>(dos_header_.e_lfanew)) +
                             kNtHeadersSize +
                             static_cast<uint64_t>(section_count_ + 1) * kSectionHeaderSize;
  if (table_end > optional.SizeOfHeaders) return nullptr;
  char utf8_name[kNameFieldSize];
  if (WideToUtf8(name, -1, utf8_name, kNameFieldSize) == nullptr) return nullptr;

  uint32_t raw = 0, virtual_size = 0, file_end = 0, virtual_end = 0, pointer = 0, address = 0;
  if (!AlignUp(size, optional.FileAlignment, &raw) ||
      !AlignUp(raw, optional.SectionAlignment, &virtual_size) ||
      !CheckLayout(&file_end, &virtual_end) ||
      !AlignUp(file_end, optional.FileAlignment, &pointer) ||
      !AlignUp(virtual_end, optional.SectionAlignment, &address) ||
      static_cast<uint64_t>(pointer) + raw >= kFourGiB ||
      static_cast<uint64_t>(address) + virtual_size >= kFourGiB) {
    return nullptr;
  }
  uint8_t* block = static_cast<uint8_t*>(AllocZeroed(raw));
  if (block == nullptr) return nullptr;

  const uint32_t slot = section_count_;
  IMAGE_SECTION_HEADER& s = sections_[slot];
  FillBytes(&s, 0, sizeof(s));
  CopyBytes(s.Name, utf8_name, TextLength(utf8_name));
  s.Misc.VirtualSize = virtual_size;
  s.VirtualAddress = address;
  s.SizeOfRawData = raw;
  s.PointerToRawData = pointer;
  s.Characteristics = kAddedSectionCharacteristics;
  blocks_[slot] = block;
  block_sizes_[slot] = raw;
  section_count_ = slot + 1;
  nt_headers_.FileHeader.NumberOfSections = static_cast<WORD>(section_count_);
  return &s;
}

bool PeImage::FinalizeLayout() {
  uint32_t file_end = 0, virtual_end = 0;
  if (!loaded_ || !CheckLayout(&file_end, &virtual_end)) return false;
  IMAGE_OPTIONAL_HEADER64& optional = nt_headers_.OptionalHeader;
  // CheckLayout has proven that none of these overflows.
  const auto round = [](DWORD* field, uint32_t alignment) {
    uint32_t value = 0;
    if (AlignUp(*field, alignment, &value)) *field = value;
  };
  for (uint32_t i = 0; i < section_count_; ++i) {
    IMAGE_SECTION_HEADER& s = sections_[i];
    round(&s.VirtualAddress, optional.SectionAlignment);
    round(&s.Misc.VirtualSize, optional.SectionAlignment);
    round(&s.PointerToRawData, optional.FileAlignment);
    round(&s.SizeOfRawData, optional.FileAlignment);
  }
  optional.SizeOfImage = virtual_end;
  // Stale after the layout change; the loader would reject or misuse them.
  const int cleared[] = {IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG, IMAGE_DIRECTORY_ENTRY_BOUND_IMPORT,
                         IMAGE_DIRECTORY_ENTRY_IAT};
  for (int entry : cleared) {
    optional.DataDirectory[entry].VirtualAddress = 0;
    optional.DataDirectory[entry].Size = 0;
  }
  return true;
}

bool PeImage::Save(const wchar_t* path) {
  if (!loaded_ || path == nullptr || !FinalizeLayout()) return false;
  const uint32_t total = FileEnd();
  uint8_t* out = static_cast<uint8_t*>(AllocZeroed(total));
  if (out == nullptr) return false;

  const uint32_t nt_offset = static_cast<uint32_t>(dos_header_.e_lfanew);
  bool placed = Place(out, total, 0, &dos_header_, kDosHeaderSize) &&
                Place(out, total, kDosHeaderSize, stub_, stub_size_) &&
                Place(out, total, nt_offset, &nt_headers_, kNtHeadersSize) &&
                Place(out, total, static_cast<uint64_t>(nt_offset) + kNtHeadersSize, sections_,
                      static_cast<uint64_t>(section_count_) * kSectionHeaderSize);
  for (uint32_t i = 0; placed && i < section_count_; ++i) {
    const IMAGE_SECTION_HEADER& s = sections_[i];
    if (s.SizeOfRawData == 0) continue;
    placed = s.SizeOfRawData <= block_sizes_[i] &&
             Place(out, total, s.PointerToRawData, blocks_[i], s.SizeOfRawData);
  }
  if (!placed) {
    FreeBlock(out);
    return false;
  }

  // Opens an existing file rather than replacing it, as a new file would be.
  HANDLE file = CreateFileW(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    FreeBlock(out);
    return false;
  }
  LARGE_INTEGER start;
  start.QuadPart = 0;
  LARGE_INTEGER end;
  end.QuadPart = total;
  const bool written = SetFilePointerEx(file, start, nullptr, FILE_BEGIN) &&
                       WriteAll(file, out, total) &&
                       SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  FreeBlock(out);
  // A partial copy must not pass for an installer.
  const bool deleting = !written && SetDeleteDisposition(file, true);
  CloseHandle(file);
  if (!written && !deleting) DeleteFileW(path);
  return written;
}

}  // namespace bootpack
