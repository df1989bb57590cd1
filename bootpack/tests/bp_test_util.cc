#include "bp_test_util.h"

#include <algorithm>

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

}  // namespace bptest
