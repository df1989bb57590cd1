// The two section formats that carry plug-ins in the installer's own file:
// one plug record per plug section, and the "plugs" list section. Build mode
// writes them; an install reads them back from its own file, so every read
// here goes through ByteView and treats the bytes as hostile.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "bp_byte_view.h"
#include "bp_text.h"

namespace bootpack {

// PlugRecord: little-endian numbers, then NUL-terminated UTF-16 fields of
// fixed size, then the plug file's bytes.
constexpr uint32_t kPlugDataSizeOffset = 0;
constexpr uint32_t kPlugDisplayOffset = 4;
constexpr uint32_t kPlugAdminOffset = 8;
constexpr uint32_t kPlugStateOffset = 12;
constexpr uint32_t kPlugExtensionOffset = 16;
constexpr uint32_t kPlugNameOffset = 36;
constexpr uint32_t kPlugCmdOffset = 556;
constexpr uint32_t kPlugCheckOffset = 1076;
constexpr uint32_t kPlugHeaderSize = 1596;
// Capacities in units, the NUL included.
constexpr size_t kPlugExtensionCapacity = 10;
constexpr size_t kPlugTextCapacity = 260;

constexpr wchar_t kPlugListSectionName[] = L"plugs";

struct PlugRecord {
  uint32_t display = 1;
  uint32_t admin = 0;
  uint32_t state = 0;
  wchar_t extension[kPlugExtensionCapacity] = {};
  wchar_t name[kPlugTextCapacity] = {};
  wchar_t cmd[kPlugTextCapacity] = {};
  wchar_t check[kPlugTextCapacity] = {};
  // The plug file's bytes: data_size bytes right after the header.
  ByteView data;
};

// Writes the header (data_size taken from `data_size`) into the first
// kPlugHeaderSize bytes of `block`, which must be zeroed and at least that
// large. Texts longer than their fields are cut; callers check them first.
void WritePlugHeader(uint8_t* block, const PlugRecord& record, uint32_t data_size);

// Reads one plug section. False (the record unusable) when the header does
// not fit, data_size is 0 or runs past the section, a text field has no NUL
// inside its own capacity, a text holds a line break, or the extension is not
// empty or a dot followed by plain file-name units.
bool ParsePlugRecord(const ByteView& section, PlugRecord* record);

// Bytes a list section of `units` list units needs: length field, the text
// and its NUL.
inline uint64_t PlugListSectionSize(size_t units) {
  return 4 + 2 * static_cast<uint64_t>(units) + 2;
}

// Writes the length field, the list text and its NUL; `block` holds at least
// PlugListSectionSize(units) bytes.
void WritePlugList(uint8_t* block, const wchar_t* list, size_t units);

// Reads the list section's text into `list`. False when the length field is
// 0, odd, runs past the section or exceeds the buffer, or the text holds a
// NUL or any other control unit (it is written back into plugs.ini as one
// line).
bool ParsePlugList(const ByteView& section, wchar_t (&list)[kPlugListCapacity]);

// A piece of a file name: no \ / : * ? " < > | and no control units.
bool IsPlainFileNamePiece(const wchar_t* text, size_t units);

// A plug's section name as the last component of a path: non-empty, plain,
// not "." or "..".
bool IsPlugName(const wchar_t* name);

// Empty, or "." followed by plain file-name units, at most 9 units in all.
bool IsPlugExtension(const wchar_t* extension);

// The file a plug is extracted to, name + extension: both usable, and the
// whole neither ending in a dot or a space (Windows strips those, so the file
// would not be the one named) nor naming a DOS device.
bool IsPlugFileName(const wchar_t* name, const wchar_t* extension);

}  // namespace bootpack
