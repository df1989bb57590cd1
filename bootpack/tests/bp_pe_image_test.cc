#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <string>
#include <vector>

#include "bp_pe_image.h"
#include "bp_test_util.h"
#include "fixtures/make_pe.h"

namespace bootpack {
namespace {

using Bytes = std::vector<uint8_t>;
using bptest::GuardedBytes;
using bptest::SectionName;

bool LoadGuarded(PeImage* image, const Bytes& bytes) {
  GuardedBytes guard(bytes.size());
  return image->LoadFromMemory(guard.Put(bytes).data(), bytes.size());
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t length) {
  return Bytes(bytes.begin() + offset, bytes.begin() + offset + length);
}

std::wstring TestDir() { return bptest::FreshTestDir("pe_image_"); }

// Everything a saved copy must keep from its source, and the layout rules it
// must follow: contents unchanged, virtual sizes rounded, directories 10-12
// cleared, the file ending at the last raw data.
void ExpectFaithfulCopy(const PeImage& source, const Bytes& source_file,
                        const std::wstring& copy_path) {
  Bytes copy;
  ASSERT_TRUE(bptest::ReadFileBytes(copy_path, &copy));
  PeImage saved;
  ASSERT_TRUE(saved.Load(copy_path.c_str()));
  const IMAGE_OPTIONAL_HEADER64& before = source.NtHeaders().OptionalHeader;
  const IMAGE_OPTIONAL_HEADER64& after = saved.NtHeaders().OptionalHeader;
  ASSERT_EQ(saved.SectionCount(), source.SectionCount());
  EXPECT_EQ(after.AddressOfEntryPoint, before.AddressOfEntryPoint);
  EXPECT_EQ(after.CheckSum, before.CheckSum);
  EXPECT_EQ(after.SizeOfHeaders, before.SizeOfHeaders);
  EXPECT_EQ(after.SizeOfInitializedData, before.SizeOfInitializedData);
  EXPECT_EQ(after.SizeOfImage, saved.VirtualEnd());
  for (int d = 0; d < 16; ++d) {
    const bool cleared = d == 10 || d == 11 || d == 12;
    EXPECT_EQ(after.DataDirectory[d].VirtualAddress,
              cleared ? 0u : before.DataDirectory[d].VirtualAddress) << d;
    EXPECT_EQ(after.DataDirectory[d].Size, cleared ? 0u : before.DataDirectory[d].Size) << d;
  }
  const uint32_t lfanew = static_cast<uint32_t>(source.DosHeader().e_lfanew);
  EXPECT_TRUE(Slice(copy, 0, lfanew) == Slice(source_file, 0, lfanew)) << "DOS header and stub";
  uint32_t last_end = 0;
  for (uint32_t i = 0; i < saved.SectionCount(); ++i) {
    const IMAGE_SECTION_HEADER& s = *saved.Section(i);
    const IMAGE_SECTION_HEADER& o = *source.Section(i);
    EXPECT_EQ(SectionName(s), SectionName(o));
    EXPECT_EQ(s.Misc.VirtualSize % after.SectionAlignment, 0u) << SectionName(s);
    EXPECT_GE(s.Misc.VirtualSize, o.Misc.VirtualSize) << SectionName(s);
    EXPECT_EQ(s.SizeOfRawData % after.FileAlignment, 0u) << SectionName(s);
    const ByteView data = saved.SectionBytes(i);
    const ByteView original = source.SectionBytes(i);
    ASSERT_GE(data.size(), original.size()) << SectionName(s);
    EXPECT_EQ(std::memcmp(data.data(), original.data(), original.size()), 0) << SectionName(s);
    for (uint32_t j = original.size(); j < data.size(); ++j) {
      ASSERT_EQ(data.data()[j], 0) << SectionName(s);
    }
    if (s.SizeOfRawData != 0 && s.PointerToRawData + s.SizeOfRawData > last_end) {
      last_end = s.PointerToRawData + s.SizeOfRawData;
    }
  }
  EXPECT_EQ(copy.size(), last_end) << "nothing follows the last raw data";
}

// ---- generated images with the layout numbers of the edge cases -------------

TEST(PeImageLayout, AddedSectionsFollowTheLastAndTheNinthIsRefused) {
  const Bytes file = pefx::MakePe(pefx::InstallerLayout());
  PeImage image;
  ASSERT_TRUE(LoadGuarded(&image, file));
  ASSERT_EQ(image.SectionCount(), 8u);
  const uint32_t image_end = image.VirtualEnd();
  ASSERT_EQ(image_end, 0xC000u);

  IMAGE_SECTION_HEADER* first = image.AddSection(L"plu1", 100);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(SectionName(*first), "plu1");
  EXPECT_EQ(first->SizeOfRawData, 0x200u);
  EXPECT_EQ(first->Misc.VirtualSize, 0x1000u);
  EXPECT_EQ(first->PointerToRawData, 0x5C00u);  // right after .reloc's raw data
  EXPECT_EQ(first->VirtualAddress, 0xC000u);    // next 0x1000 boundary after .reloc
  EXPECT_EQ(first->Characteristics, 0xC0000040u);
  EXPECT_EQ(image.VirtualEnd(), image_end + 0x1000);
  ASSERT_EQ(image.SectionBlockSize(8), 0x200u);
  for (uint32_t j = 0; j < 0x200; ++j) ASSERT_EQ(image.SectionBlock(8)[j], 0);
  std::memcpy(image.SectionBlock(8), "first plug", 10);

  // e_lfanew 0x78 + 264 + 16 x 40 reaches SizeOfHeaders 0x400 exactly.
  for (int i = 2; i <= 8; ++i) {
    const std::wstring name = L"plu" + std::to_wstring(i);
    ASSERT_NE(image.AddSection(name.c_str(), 0x1000 * i), nullptr) << i;
  }
  EXPECT_EQ(image.AddSection(L"plugs", 10), nullptr);
  ASSERT_EQ(image.SectionCount(), 16u);

  const std::wstring path = TestDir() + L"\\added.exe";
  ASSERT_TRUE(image.Save(path.c_str()));
  EXPECT_EQ(image.NtHeaders().OptionalHeader.SizeOfImage, image.VirtualEnd());
  ExpectFaithfulCopy(image, file, path);
  PeImage saved;
  ASSERT_TRUE(saved.Load(path.c_str()));
  uint32_t index = 0;
  ASSERT_TRUE(saved.FindSection(L"plu1", &index));
  EXPECT_EQ(index, 8u);
  EXPECT_EQ(std::memcmp(saved.SectionBytes(index).data(), "first plug", 10), 0);
  ASSERT_TRUE(saved.FindSection(L"plu8", &index));
  EXPECT_EQ(saved.Section(index)->SizeOfRawData, 0x8000u);
}

TEST(PeImageLayout, UnchangedCopyRoundsVirtualSizesAndClearsStaleDirectories) {
  pefx::Layout layout = pefx::InstallerLayout();
  layout.overlay = 0x300;  // an appended signature is not carried over
  const Bytes file = pefx::MakePe(layout);
  PeImage image;
  ASSERT_TRUE(LoadGuarded(&image, file));
  const std::wstring path = TestDir() + L"\\copy.exe";
  ASSERT_TRUE(image.Save(path.c_str()));
  ExpectFaithfulCopy(image, file, path);
  PeImage saved;
  ASSERT_TRUE(saved.Load(path.c_str()));
  EXPECT_EQ(saved.Section(0)->Misc.VirtualSize, 0x4000u);
  EXPECT_EQ(saved.Section(5)->Misc.VirtualSize, 0x1000u);  // .bss
  EXPECT_EQ(saved.Section(5)->PointerToRawData, 0u);
  // The certificate directory keeps pointing where it pointed.
  EXPECT_EQ(saved.NtHeaders().OptionalHeader.DataDirectory[4].VirtualAddress, 0x500u);
}

// The file end and the image end are maxima: an empty .bss may come last in
// the table with the highest address but no raw data.
TEST(PeImageLayout, EmptyBssDoesNotDecideWhereASectionGoes) {
  struct Case {
    const char* what;
    std::vector<pefx::Section> sections;
    uint32_t pointer, address;
  } cases[] = {
      {"bss last",
       {{".text", 0x1000, 0x800, 0x400, 0x800}, {".bss", 0x2000, 0x5000, 0, 0}},
       0xC00, 0x7000},
      {"bss first",
       {{".bss", 0x1000, 0x40, 0, 0}, {".text", 0x2000, 0x800, 0x400, 0x800}},
       0xC00, 0x3000},
      {"zero virtual size maps the raw size",
       {{".text", 0x1000, 0, 0x400, 0x1200}},
       0x1600, 0x3000},
  };
  for (const Case& c : cases) {
    pefx::Layout layout = pefx::MinimalLayout();
    layout.sections = c.sections;
    PeImage image;
    ASSERT_TRUE(LoadGuarded(&image, pefx::MakePe(layout))) << c.what;
    const IMAGE_SECTION_HEADER* added = image.AddSection(L"plugs", 1);
    ASSERT_NE(added, nullptr) << c.what;
    EXPECT_EQ(added->PointerToRawData, c.pointer) << c.what;
    EXPECT_EQ(added->VirtualAddress, c.address) << c.what;
    ASSERT_TRUE(image.FinalizeLayout()) << c.what;
    EXPECT_EQ(image.NtHeaders().OptionalHeader.SizeOfImage, c.address + 0x1000) << c.what;
    EXPECT_EQ(image.FileEnd(), c.pointer + 0x200) << c.what;
  }
}

TEST(PeImageLayout, NamesAreComparedOnAtMostEightBytes) {
  pefx::Layout layout = pefx::MinimalLayout();
  // The field has no NUL; the next header field starts with 'A'.
  layout.sections[0].name = ".retplne";
  layout.sections[0].virtual_size = 'A';
  layout.sections[1].name = "plu1";
  PeImage image;
  ASSERT_TRUE(LoadGuarded(&image, pefx::MakePe(layout)));
  ASSERT_NE(image.AddSection(L"pl\u00fc", 8), nullptr);  // 4 UTF-8 bytes
  uint32_t index = 99;
  EXPECT_TRUE(image.FindSection(L".retplne", &index));
  EXPECT_EQ(index, 0u);
  EXPECT_TRUE(image.FindSection(L"plu1", &index));
  EXPECT_EQ(index, 1u);
  EXPECT_TRUE(image.FindSection(L"pl\u00fc", &index));
  EXPECT_EQ(index, 2u);
  EXPECT_EQ(SectionName(*image.Section(2)), "pl\xc3\xbc");
  for (const wchar_t* absent : {L".retplneA", L".retpln", L"PLU1", L"plu", L"plu1 ", L""}) {
    EXPECT_FALSE(image.FindSection(absent, &index)) << bptest::Narrow(absent);
  }
}

TEST(PeImageLayout, RefusedSectionsLeaveTheModelAsItWas) {
  pefx::Layout layout = pefx::MinimalLayout();
  PeImage image;
  ASSERT_TRUE(LoadGuarded(&image, pefx::MakePe(layout)));
  struct Case {
    const wchar_t* name;
    uint64_t size;
  } refused[] = {
      {L"12345678", 16},                             // 8 bytes leave no room for the NUL
      {L"\u00e9\u00e9\u00e9\u00e9", 16},             // 8 UTF-8 bytes
      {nullptr, 16},
      {L"zero", 0},
      {L"huge", 0xFFFFFFFFull},                      // rounding passes 32 bits
      {L"wide", 0x10000000000ull},
      {L"far", 0xFFFFF000ull},                       // its end passes 4 GiB
  };
  for (const Case& c : refused) {
    EXPECT_EQ(image.AddSection(c.name, c.size), nullptr) << (c.name ? bptest::Narrow(c.name) : "null");
    EXPECT_EQ(image.SectionCount(), 2u);
    EXPECT_EQ(image.NtHeaders().FileHeader.NumberOfSections, 2);
  }
  EXPECT_NE(image.AddSection(L"1234567", 16), nullptr);
  EXPECT_NE(image.AddSection(L"", 16), nullptr);

  // The slots run out at 20 even with header room to spare.
  layout.size_of_headers = 0x1000;
  layout.sections.clear();
  for (uint32_t i = 0; i < 19; ++i) {
    layout.sections.push_back({".s" + std::to_string(i), 0x1000 * (i + 1), 0x10,
                               0x1000 + 0x200 * i, 0x200});
  }
  ASSERT_TRUE(LoadGuarded(&image, pefx::MakePe(layout)));
  EXPECT_NE(image.AddSection(L"plugs", 10), nullptr);
  EXPECT_EQ(image.AddSection(L"more", 10), nullptr);
  EXPECT_EQ(image.SectionCount(), 20u);
}

TEST(PeImageSave, TruncatesALongerFileAndFailsWithoutLeavingOutput) {
  const std::wstring dir = TestDir();
  PeImage image;
  ASSERT_TRUE(LoadGuarded(&image, pefx::MakePe(pefx::InstallerLayout())));
  const std::wstring fresh = dir + L"\\fresh.exe";
  const std::wstring longer = dir + L"\\longer.exe";
  ASSERT_TRUE(image.Save(fresh.c_str()));
  ASSERT_TRUE(bptest::WriteFileBytes(longer, std::string(0x20000, 'x')));
  ASSERT_TRUE(image.Save(longer.c_str()));
  Bytes a, b;
  ASSERT_TRUE(bptest::ReadFileBytes(fresh, &a));
  ASSERT_TRUE(bptest::ReadFileBytes(longer, &b));
  EXPECT_EQ(b.size(), 0x5C00u);
  EXPECT_TRUE(a == b);

  EXPECT_FALSE(image.Save((dir + L"\\missing\\out.exe").c_str()));
  // A file that cannot be opened for writing is left as it was.
  const std::wstring locked = dir + L"\\locked.exe";
  ASSERT_TRUE(bptest::WriteFileBytes(locked, "keep"));
  HANDLE holder = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(image.Save(locked.c_str()));
  CloseHandle(holder);
  ASSERT_TRUE(bptest::ReadFileBytes(locked, &b));
  EXPECT_TRUE(std::string(b.begin(), b.end()) == "keep");

  PeImage empty;
  const std::wstring never = dir + L"\\never.exe";
  EXPECT_FALSE(empty.Save(never.c_str()));
  EXPECT_FALSE(bptest::Exists(never));
}

// ---- hostile headers ----------------------------------------------------------

void SetNt32(Bytes& b, size_t field, uint32_t v) {
  pefx::Put32(b, pefx::Get32(b, pefx::kLfanew) + field, v);
}
void SetNt16(Bytes& b, size_t field, uint32_t v) {
  pefx::Put16(b, pefx::Get32(b, pefx::kLfanew) + field, v);
}
void SetSection(Bytes& b, size_t i, size_t field, uint32_t v) {
  pefx::Put32(b, pefx::SectionHeader(b, i) + field, v);
}

TEST(PeImageHostile, EachBadHeaderIsRefusedWithoutReadingPastTheEnd) {
  const Bytes valid = pefx::MakePe(pefx::MinimalLayout());  // 0x600 bytes, table ends at 0x198
  {
    PeImage image;
    ASSERT_TRUE(LoadGuarded(&image, valid));
  }
  std::vector<pefx::HeaderFault> cases = pefx::HeaderFaults();
  const pefx::HeaderFault layout_faults[] = {
      {"section table past SizeOfHeaders", [](Bytes& b) { SetNt32(b, pefx::kSizeOfHeaders, 0x197); }},
      {"SizeOfHeaders past the end", [](Bytes& b) { SetNt32(b, pefx::kSizeOfHeaders, 0x601); }},
      {"section table past the end",
       [](Bytes& b) {
         SetNt16(b, pefx::kNumberOfSections, 20);
         SetNt32(b, pefx::kSizeOfHeaders, 0x400);
         b.resize(0x400);
       }},
      {"zero FileAlignment", [](Bytes& b) { SetNt32(b, pefx::kFileAlignment, 0); }},
      {"zero SectionAlignment", [](Bytes& b) { SetNt32(b, pefx::kSectionAlignment, 0); }},
      {"FileAlignment of 2 GiB", [](Bytes& b) { SetNt32(b, pefx::kFileAlignment, 0x80000000); }},
      {"raw data past the end", [](Bytes& b) { SetSection(b, 1, pefx::kSizeOfRawData, 0x201); }},
      {"raw pointer past the end", [](Bytes& b) { SetSection(b, 1, pefx::kPointerToRawData, 0x600); }},
      {"raw range wraps 32 bits",
       [](Bytes& b) { SetSection(b, 1, pefx::kPointerToRawData, 0xFFFFFF00); }},
      {"raw data inside the headers",
       [](Bytes& b) { SetSection(b, 0, pefx::kPointerToRawData, 0x100); }},
      {"raw data out of order",
       [](Bytes& b) {
         SetSection(b, 0, pefx::kPointerToRawData, 0x400);
         SetSection(b, 1, pefx::kPointerToRawData, 0x200);
       }},
      {"raw data overlapping once rounded (the last section does not end the file)",
       [](Bytes& b) { SetSection(b, 0, pefx::kSizeOfRawData, 0x201); }},
      {"virtual end past 4 GiB",
       [](Bytes& b) {
         SetSection(b, 1, pefx::kVirtualAddress, 0xFFFFF000);
         SetSection(b, 1, pefx::kVirtualSize, 0x2000);
       }},
      {"rounded virtual size past 4 GiB",
       [](Bytes& b) { SetSection(b, 0, pefx::kVirtualSize, 0xFFFFFFF0); }},
  };
  cases.insert(cases.end(), std::begin(layout_faults), std::end(layout_faults));
  for (const pefx::HeaderFault& c : cases) {
    Bytes bytes = valid;
    c.mutate(bytes);
    PeImage image;
    EXPECT_FALSE(LoadGuarded(&image, bytes)) << c.what;
    EXPECT_FALSE(image.IsLoaded()) << c.what;
    EXPECT_EQ(image.SectionCount(), 0u) << c.what;
    EXPECT_EQ(image.AddSection(L"plugs", 10), nullptr) << c.what;
  }
}

// Every single-byte change of the headers and every truncation: whatever is
// accepted stays inside the bytes (the guard page would fault) and can be
// extended and laid out.
TEST(PeImageHostile, NoHeaderByteOrTruncationReadsPastTheEnd) {
  const Bytes valid = pefx::MakePe(pefx::MinimalLayout());
  GuardedBytes guard(valid.size());
  PeImage image;
  int accepted = 0;
  for (size_t at = 0; at < 0x200; ++at) {
    for (uint8_t value : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      Bytes bytes = valid;
      bytes[at] = value;
      if (!image.LoadFromMemory(guard.Put(bytes).data(), bytes.size())) continue;
      ++accepted;
      ASSERT_LE(image.FileEnd(), 0x600u + 0x10000u) << at;
      if (image.AddSection(L"plugs", 0x100) != nullptr) {
        ASSERT_TRUE(image.FinalizeLayout()) << at;
      }
    }
  }
  EXPECT_GT(accepted, 0);
  for (size_t length = 0; length < valid.size(); ++length) {
    Bytes bytes(valid.begin(), valid.begin() + length);
    EXPECT_FALSE(image.LoadFromMemory(guard.Put(bytes).data(), length)) << length;
  }
}

// ---- files ------------------------------------------------------------------------

TEST(PeImageFile, MissingEmptyAndHugeFilesAreRefused) {
  const std::wstring dir = TestDir();
  PeImage image;
  EXPECT_FALSE(image.Load((dir + L"\\missing.exe").c_str()));
  EXPECT_FALSE(image.Load(nullptr));
  const std::wstring empty = dir + L"\\empty.exe";
  ASSERT_TRUE(bptest::WriteFileBytes(empty, ""));
  EXPECT_FALSE(image.Load(empty.c_str()));

  // A valid image grown by exactly 4 GiB (sparse): its low 32 bits of size
  // alone would describe the valid image.
  const Bytes valid = pefx::MakePe(pefx::MinimalLayout());
  const std::wstring huge = dir + L"\\huge.exe";
  ASSERT_TRUE(bptest::WriteFileBytes(huge, std::string(valid.begin(), valid.end())));
  ASSERT_TRUE(image.Load(huge.c_str()));
  HANDLE file = CreateFileW(huge.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD ignored = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
  LARGE_INTEGER size;
  size.QuadPart = 0x100000000LL + static_cast<LONGLONG>(valid.size());
  const bool grown = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  if (grown) {
    EXPECT_FALSE(image.Load(huge.c_str()));
  }
  DeleteFileW(huge.c_str());
  if (!grown) GTEST_SKIP() << "cannot make a 4 GiB file here";
}

// ---- the real mingw images of this build ------------------------------------

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return 0xFFFFFFFF;
  }
  DWORD code = 0xFFFFFFFE;
  if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

struct RealImage {
  const wchar_t* program;
  uint32_t sections_to_add;
  const wchar_t* arguments;
  DWORD exit_code;
};

class PeImageReal : public ::testing::TestWithParam<RealImage> {};

// Load, save unchanged, add sections, save again, and run the copy: the
// installer itself (8 sections, FileAlignment 0x1000, exits 118 on
// --cleanup) and a C-runtime program with 19 sections, an empty .bss in the
// middle and a symbol table after its last section (exits with
// FAKE_SETUP_EXIT).
TEST_P(PeImageReal, CopiesKeepTheImageAndStillRun) {
  const RealImage& param = GetParam();
  const std::wstring source_path = bptest::BinDir() + L"\\" + param.program;
  const std::wstring dir = TestDir();
  Bytes source_file;
  ASSERT_TRUE(bptest::ReadFileBytes(source_path, &source_file));
  PeImage image;
  ASSERT_TRUE(image.Load(source_path.c_str()));
  for (uint32_t i = 0; i < image.SectionCount(); ++i) {
    const IMAGE_SECTION_HEADER& s = *image.Section(i);
    const ByteView data = image.SectionBytes(i);
    ASSERT_EQ(data.size(), s.SizeOfRawData);
    EXPECT_TRUE(Bytes(data.data(), data.data() + data.size()) ==
                Slice(source_file, s.PointerToRawData, s.SizeOfRawData)) << SectionName(s);
  }

  const std::wstring unchanged = dir + L"\\unchanged.exe";
  ASSERT_TRUE(image.Save(unchanged.c_str()));
  ExpectFaithfulCopy(image, source_file, unchanged);

  const uint32_t loaded = image.SectionCount();
  for (uint32_t i = 0; i < param.sections_to_add; ++i) {
    const std::wstring name = L"plu" + std::to_wstring(i + 1);
    ASSERT_NE(image.AddSection(name.c_str(), 5000 + 3000 * i), nullptr) << i;
    uint8_t* block = image.SectionBlock(loaded + i);
    for (uint32_t j = 0; j < 5000 + 3000 * i; ++j) block[j] = static_cast<uint8_t>(j * 13 + i);
  }
  if (loaded + param.sections_to_add == kMaxSections) {
    EXPECT_EQ(image.AddSection(L"plugs", 10), nullptr);
  }
  const std::wstring program = dir + L"\\plugged.exe";
  ASSERT_TRUE(image.Save(program.c_str()));
  PeImage plugged;
  ASSERT_TRUE(plugged.Load(program.c_str()));
  ASSERT_EQ(plugged.SectionCount(), loaded + param.sections_to_add);
  for (uint32_t i = 0; i < param.sections_to_add; ++i) {
    uint32_t index = 0;
    ASSERT_TRUE(plugged.FindSection((L"plu" + std::to_wstring(i + 1)).c_str(), &index));
    const ByteView data = plugged.SectionBytes(index);
    ASSERT_GE(data.size(), 5000 + 3000 * i);
    for (uint32_t j = 0; j < 5000 + 3000 * i; ++j) {
      ASSERT_EQ(data.data()[j], static_cast<uint8_t>(j * 13 + i)) << i << " " << j;
    }
  }

  const std::wstring log = dir + L"\\run.log";
  SetEnvironmentVariableW(L"FAKE_SETUP_LOG", log.c_str());
  SetEnvironmentVariableW(L"FAKE_SETUP_EXIT", L"37");
  EXPECT_EQ(RunProgram(program, param.arguments), param.exit_code);
  SetEnvironmentVariableW(L"FAKE_SETUP_LOG", nullptr);
  SetEnvironmentVariableW(L"FAKE_SETUP_EXIT", nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Builds, PeImageReal,
    ::testing::Values(RealImage{L"bootpack.exe", 2, L"--cleanup", 118},
                      RealImage{L"fake_setup.exe", 1, L"--from-copy", 37}),
    [](const ::testing::TestParamInfo<RealImage>& info) {
      return info.index == 0 ? std::string("Installer") : std::string("CRuntimeProgram");
    });

}  // namespace
}  // namespace bootpack
