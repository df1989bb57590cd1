#include "bp_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "bp_pe_image.h"

namespace bptest {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string out(n, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                      nullptr, nullptr);
  return out;
}

std::string Ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

std::string Utf16WithBom(const std::wstring& text) {
  std::string bytes = "\xFF\xFE";
  for (wchar_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

std::wstring BinDir() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring p(path, n);
  return p.substr(0, p.find_last_of(L'\\'));
}

std::wstring FixtureDir() {
  std::wstring dir = L"Z:" + Widen(BOOTPACK_FIXTURE_DIR);
  std::replace(dir.begin(), dir.end(), L'/', L'\\');
  return dir;
}

void RemoveTree(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    DeleteFileW(path.c_str());
    return;
  }
  for (const std::wstring& name : ListDir(path)) RemoveTree(path + L"\\" + name);
  RemoveDirectoryW(path.c_str());
}

std::wstring FreshDir(const std::wstring& name) {
  // On the prefix's C: drive, which (unlike Z:) reports persistent ACLs.
  std::wstring root = L"C:\\bootpack_tests";
  CreateDirectoryW(root.c_str(), nullptr);
  std::wstring dir = root + L"\\" + name;
  RemoveTree(dir);
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir;
}

std::wstring FreshTestDir(const std::string& prefix, bool with_suite) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = prefix;
  if (with_suite) name += std::string(info->test_suite_name()) + "_";
  name += info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  return FreshDir(Widen(name));
}

bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>* bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size;
  GetFileSizeEx(f, &size);
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD got = 0;
  bool ok = bytes->empty() ||
            (ReadFile(f, bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr) &&
             got == bytes->size());
  CloseHandle(f);
  return ok;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD put = 0;
  bool ok = WriteFile(f, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) &&
            put == bytes.size();
  CloseHandle(f);
  return ok;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> ListDir(const std::wstring& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
  uint64_t hash = 1469598103934665603ULL;
  for (uint8_t b : bytes) hash = (hash ^ b) * 1099511628211ULL;
  return hash;
}

std::wstring IniSection(const std::wstring& ini, const std::wstring& section) {
  std::vector<wchar_t> buffer(8192);
  const DWORD n =
      section.empty()
          ? GetPrivateProfileSectionNamesW(buffer.data(), 8192, ini.c_str())
          : GetPrivateProfileSectionW(section.c_str(), buffer.data(), 8192, ini.c_str());
  std::wstring text(buffer.data(), n);
  std::replace(text.begin(), text.end(), L'\0', L'|');
  return text;
}

std::string SectionName(const IMAGE_SECTION_HEADER& header) {
  const char* field = reinterpret_cast<const char*>(header.Name);
  return std::string(field, strnlen(field, 8));
}

std::vector<std::wstring> AddedSections(const bootpack::PeImage& image, uint32_t from) {
  std::vector<std::wstring> names;
  for (uint32_t i = from; i < image.SectionCount(); ++i) {
    names.push_back(Widen(SectionName(*image.Section(i))));
  }
  return names;
}

GuardedBytes::GuardedBytes(size_t capacity) {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  page_ = info.dwPageSize;
  span_ = (capacity + page_ - 1) / page_ * page_;
  base_ = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, span_ + page_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  DWORD old = 0;
  VirtualProtect(base_ + span_, page_, PAGE_NOACCESS, &old);
}

GuardedBytes::~GuardedBytes() { VirtualFree(base_, 0, MEM_RELEASE); }

bootpack::ByteView GuardedBytes::Put(const std::vector<uint8_t>& bytes) {
  uint8_t* at = base_ + span_ - bytes.size();
  if (!bytes.empty()) std::memcpy(at, bytes.data(), bytes.size());
  return bootpack::ByteView(at, static_cast<uint32_t>(bytes.size()));
}

}  // namespace bptest
