// Small Windows-side helpers shared by the unit and end-to-end tests.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bptest {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// Folder of the running test program (ends without a backslash).
std::wstring BinDir();
// The build's fixture data folder as a Windows path.
std::wstring FixtureDir();

// A fresh, empty folder for one test under the build folder.
std::wstring FreshDir(const std::wstring& name);
void RemoveTree(const std::wstring& path);

bool ReadFileBytes(const std::wstring& path, std::vector<uint8_t>* bytes);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool Exists(const std::wstring& path);
// Names in a folder, sorted, without "." and "..".
std::vector<std::wstring> ListDir(const std::wstring& dir);

uint64_t Fnv1a(const std::vector<uint8_t>& bytes);

}  // namespace bptest
