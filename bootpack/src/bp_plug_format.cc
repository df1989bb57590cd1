#include "bp_plug_format.h"

namespace bootpack {
namespace {

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Writes at most capacity - 1 units and leaves the rest of the (zeroed)
// field alone, so the text stays NUL-terminated inside its field.
void PutText(uint8_t* at, const wchar_t* text, size_t capacity) {
  for (size_t i = 0; i + 1 < capacity && text[i] != 0; ++i) {
    at[2 * i] = static_cast<uint8_t>(text[i]);
    at[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(text[i]) >> 8);
  }
}

// A NUL-terminated text read from inside its own field; false when the field
// holds no NUL or lies outside the section.
bool ReadText(const ByteView& section, uint32_t offset, size_t capacity, wchar_t* out) {
  for (size_t i = 0; i < capacity; ++i) {
    uint16_t unit = 0;
    if (!section.ReadU16(offset + static_cast<uint32_t>(2 * i), &unit)) break;
    out[i] = static_cast<wchar_t>(unit);
    if (unit == 0) return true;
  }
  out[0] = 0;
  return false;
}

bool HasLineBreak(const wchar_t* text) {
  for (; *text != 0; ++text) {
    if (*text == L'\r' || *text == L'\n') return true;
  }
  return false;
}

size_t Length(const wchar_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

bool IsDeviceName(const wchar_t* file_name) {
  // Windows maps these to devices whatever extension follows, and ignores
  // blanks before the dot.
  size_t base = 0;
  while (file_name[base] != 0 && file_name[base] != L'.') ++base;
  while (base > 0 && file_name[base - 1] == L' ') --base;
  wchar_t upper[8];
  if (base < 3 || base > 7) return false;
  for (size_t i = 0; i < base; ++i) {
    const wchar_t c = file_name[i];
    upper[i] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
  }
  upper[base] = 0;
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices) {
    size_t i = 0;
    while (device[i] != 0 && device[i] == upper[i]) ++i;
    if (device[i] == 0 && upper[i] == 0) return true;
  }
  if (base == 4 && upper[3] >= L'0' && upper[3] <= L'9') {
    const bool com = upper[0] == L'C' && upper[1] == L'O' && upper[2] == L'M';
    const bool lpt = upper[0] == L'L' && upper[1] == L'P' && upper[2] == L'T';
    return com || lpt;
  }
  return false;
}

}  // namespace

void WritePlugHeader(uint8_t* block, const PlugRecord& record, uint32_t data_size) {
  PutU32(block + kPlugDataSizeOffset, data_size);
  PutU32(block + kPlugDisplayOffset, record.display);
  PutU32(block + kPlugAdminOffset, record.admin);
  PutU32(block + kPlugStateOffset, record.state);
  PutText(block + kPlugExtensionOffset, record.extension, kPlugExtensionCapacity);
  PutText(block + kPlugNameOffset, record.name, kPlugTextCapacity);
  PutText(block + kPlugCmdOffset, record.cmd, kPlugTextCapacity);
  PutText(block + kPlugCheckOffset, record.check, kPlugTextCapacity);
}

bool ParsePlugRecord(const ByteView& section, PlugRecord* record) {
  uint32_t data_size = 0;
  if (!section.Contains(0, kPlugHeaderSize) || !section.ReadU32(kPlugDataSizeOffset, &data_size) ||
      data_size == 0 || !section.Contains(kPlugHeaderSize, data_size) ||
      !section.ReadU32(kPlugDisplayOffset, &record->display) ||
      !section.ReadU32(kPlugAdminOffset, &record->admin) ||
      !section.ReadU32(kPlugStateOffset, &record->state) ||
      !ReadText(section, kPlugExtensionOffset, kPlugExtensionCapacity, record->extension) ||
      !ReadText(section, kPlugNameOffset, kPlugTextCapacity, record->name) ||
      !ReadText(section, kPlugCmdOffset, kPlugTextCapacity, record->cmd) ||
      !ReadText(section, kPlugCheckOffset, kPlugTextCapacity, record->check)) {
    return false;
  }
  // The texts become values of plugs.ini: a line break would start new keys.
  if (!IsPlugExtension(record->extension) || HasLineBreak(record->name) ||
      HasLineBreak(record->cmd) || HasLineBreak(record->check)) {
    return false;
  }
  record->data = section.Slice(kPlugHeaderSize, data_size);
  return true;
}

void WritePlugList(uint8_t* block, const wchar_t* list, size_t units) {
  PutU32(block, static_cast<uint32_t>(2 * units));
  for (size_t i = 0; i < units; ++i) {
    block[4 + 2 * i] = static_cast<uint8_t>(list[i]);
    block[4 + 2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(list[i]) >> 8);
  }
  block[4 + 2 * units] = 0;
  block[4 + 2 * units + 1] = 0;
}

bool ParsePlugList(const ByteView& section, wchar_t (&list)[kPlugListCapacity]) {
  list[0] = 0;
  uint32_t bytes = 0;
  if (!section.ReadU32(0, &bytes) || bytes == 0 || bytes % 2 != 0 ||
      bytes / 2 >= kPlugListCapacity || !section.Contains(4, bytes)) {
    return false;
  }
  const uint32_t units = bytes / 2;
  for (uint32_t i = 0; i < units; ++i) {
    uint16_t unit = 0;
    section.ReadU16(4 + 2 * i, &unit);  // inside the range checked above
    if (unit < 0x20) {
      list[0] = 0;
      return false;
    }
    list[i] = static_cast<wchar_t>(unit);
  }
  list[units] = 0;
  return true;
}

bool IsPlainFileNamePiece(const wchar_t* text, size_t units) {
  static const wchar_t kReserved[] = L"\\/:*?\"<>|";
  for (size_t i = 0; i < units; ++i) {
    if (text[i] < 0x20) return false;
    for (const wchar_t* r = kReserved; *r != 0; ++r) {
      if (text[i] == *r) return false;
    }
  }
  return true;
}

bool IsPlugName(const wchar_t* name) {
  const size_t n = Length(name);
  if (n == 0 || !IsPlainFileNamePiece(name, n)) return false;
  return !(name[0] == L'.' && (n == 1 || (n == 2 && name[1] == L'.')));
}

bool IsPlugExtension(const wchar_t* extension) {
  const size_t n = Length(extension);
  if (n == 0) return true;
  return n < kPlugExtensionCapacity && extension[0] == L'.' && IsPlainFileNamePiece(extension, n);
}

bool IsPlugFileName(const wchar_t* name, const wchar_t* extension) {
  if (!IsPlugName(name) || !IsPlugExtension(extension)) return false;
  const size_t e = Length(extension);
  const wchar_t last = e != 0 ? extension[e - 1] : name[Length(name) - 1];
  if (last == L'.' || last == L' ') return false;
  // The device test looks at the whole name, which may carry dots of its own.
  PathBuffer whole;
  if (!BoundedCopy(whole, name) || !BoundedAppend(whole, extension)) return false;
  return !IsDeviceName(whole);
}

}  // namespace bootpack
