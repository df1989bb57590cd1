// Small Windows-side helpers shared by the unit and end-to-end tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bp_byte_view.h"

namespace bootpack {
class PeImage;
}  // namespace bootpack

namespace bptest {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);
// The low byte of each unit: for texts known to be ASCII.
std::string Ascii(const std::wstring& text);
// UTF-16LE bytes after a byte-order mark, as a description file may be.
std::string Utf16WithBom(const std::wstring& text);

// Folder of the running test program (ends without a backslash).
std::wstring BinDir();
// The build's fixture data folder as a Windows path.
std::wstring FixtureDir();

// A fresh, empty folder for one test under the build folder.
std::wstring FreshDir(const std::wstring& name);
// FreshDir named `prefix`, the suite's name and "_" when `with_suite`, and
// the running test's name; "/" of parameterised names becomes "_".
std::wstring FreshTestDir(const std::string& prefix, bool with_suite = false);
void RemoveTree(const std::wstring& path);

bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>* bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::wstring> ListDir(const std::wstring& dir);

uint64_t Fnv1a(const std::vector<uint8_t>& bytes);

// A profile section as "key=value|key=value|", in file order; for an empty
// section name, the file's section names as "a|b|".
std::wstring IniSection(const std::wstring& ini, const std::wstring& section);

// A section header's name field as text (8 bytes carry no NUL).
std::string SectionName(const IMAGE_SECTION_HEADER& header);
// The names of the image's sections from index `from` on.
std::vector<std::wstring> AddedSections(const bootpack::PeImage& image, uint32_t from);

// Holds bytes so that they end right before an inaccessible page: any read
// past the end faults instead of passing unnoticed.
class GuardedBytes {
 public:
  explicit GuardedBytes(size_t capacity);
  ~GuardedBytes();
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;
  // Copies the bytes (no more than the capacity) to end at the guard page.
  bootpack::ByteView Put(const std::vector<uint8_t>& bytes);

 private:
  size_t page_ = 0;
  size_t span_ = 0;
  uint8_t* base_ = nullptr;
};

}  // namespace bptest
