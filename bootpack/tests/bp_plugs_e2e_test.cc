// Plugs end to end under Wine: a real bootpack in build mode packs plugs into
// a new copy of itself, and that copy, run as an installer, extracts them,
// hands plugs.ini to its setup program (plug_setup.c, which records what it
// was given and keeps copies of the work directory's files) and cleans up.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bp_e2e_fixture.h"
#include "bp_pe_image.h"
#include "bp_test_util.h"

namespace {

using bptest::AddedSections;
using bptest::Ascii;
using bptest::E2e;
using bptest::Env;
using bptest::Exists;
using bptest::FileFnv;
using bptest::IniSection;
using bptest::ListDir;
using bptest::Narrow;
using bptest::Outcome;
using bptest::Program;
using bptest::Record;
using bptest::Utf16WithBom;
using bptest::Widen;
using bootpack::ByteView;
using bootpack::PeImage;
using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::wstring>;

std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::string Pseudorandom(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& b : bytes) {
    seed = seed * 1664525u + 1013904223u;
    b = static_cast<char>(seed >> 24);
  }
  return bytes;
}

void Put32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

class PlugsE2e : public E2e {
 public:
  // A copy of a bootpack variant in the test folder: build mode writes its
  // output beside the program.
  std::wstring CopyProgram(const std::wstring& variant, const std::wstring& name = L"bp.exe") {
    const std::wstring program = dir_ + L"\\" + name;
    EXPECT_TRUE(CopyFileW(Program(variant).c_str(), program.c_str(), FALSE));
    return program;
  }

  // Writes the plug files and a description naming them (UTF-16 with a
  // byte-order mark, absolute paths). Items without a file get no "file".
  std::wstring Describe(const std::vector<std::pair<std::wstring, std::string>>& items) {
    const std::wstring src = dir_ + L"\\src";
    CreateDirectoryW(src.c_str(), nullptr);
    std::wstring list, sections;
    for (const auto& item : items) {
      list += item.first + L",";
      sections += L"[" + item.first + L"]\r\n";
      if (!item.second.empty()) {
        const std::wstring file = src + L"\\" + item.first + L".bin";
        EXPECT_TRUE(bptest::WriteFileBytes(file, item.second));
        sections += L"file=" + file + L"\r\n";
      }
    }
    const std::wstring path = dir_ + L"\\desc.ini";
    EXPECT_TRUE(bptest::WriteFileBytes(
        path, Utf16WithBom(L"[plugs]\r\nlist=" + list + L"\r\n" + sections)));
    return path;
  }

  // Build mode: exit code 0 and no setup program run, whatever happens.
  void Build(const std::wstring& program, const std::wstring& args) {
    Outcome run = Start(program, Quoted(program) + L" " + args);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_TRUE(run.records.empty());
  }

  std::string Expected(const std::string& wd, const std::string& rest) {
    return "\"" + wd + "setup.exe\" --install-archive=\"" + wd +
           "HALVEX.PACKED.7Z\" --previous-version=\"12.0.1\"" + rest;
  }
};

TEST_F(PlugsE2e, PackedCopyExtractsDescribesAndCleansUp) {
  const std::wstring bp = CopyProgram(L"plugged");
  const std::wstring src = dir_ + L"\\src";
  CreateDirectoryW(src.c_str(), nullptr);
  ASSERT_TRUE(bptest::WriteFileBytes(src + L"\\tool.exe", Pseudorandom(150000, 1)));
  ASSERT_TRUE(bptest::WriteFileBytes(src + L"\\read me.txt", "read me\r\n"));
  ASSERT_TRUE(bptest::WriteFileBytes(src + L"\\data", Pseudorandom(5000, 2)));
  const std::wstring description = dir_ + L"\\desc.ini";
  ASSERT_TRUE(bptest::WriteFileBytes(description, Utf16WithBom(
      L"[plugs]\r\nlist=tool,readme,gone,data,\r\n"
      L"[tool]\r\nfile=" + src + L"\\tool.exe\r\ncmd=/S --x=\"a b\"\r\n"
      L"check=HKCU\\Software\\Tool\r\nadmin=1\r\nstate=1\r\n"
      L"[readme]\r\nfile=" + src + L"\\read me.txt\r\ndisplay=0\r\nstate=2\r\n"
      L"[gone]\r\nfile=" + src + L"\\gone.exe\r\n"
      L"[data]\r\nfile=" + src + L"\\data\r\ncmd=\x00fc\x0436\r\n")));
  // An older, longer output of the same name is replaced.
  const std::wstring output = bp + L"_tool,readme,gone,data,.exe";
  ASSERT_TRUE(bptest::WriteFileBytes(output, std::string(1 << 20, 'o')));
  Build(bp, Quoted(description));
  PeImage packed;
  ASSERT_TRUE(packed.Load(output.c_str()));
  EXPECT_EQ(AddedSections(packed, 9), (Names{L"plu1", L"plu2", L"plu4", L"plugs"}));
  std::vector<uint8_t> output_bytes;
  ASSERT_TRUE(bptest::ReadFileBytes(output, &output_bytes));
  EXPECT_EQ(output_bytes.size(), packed.FileEnd());

  // Installed from a temp folder outside the ANSI code page.
  const std::wstring temp = dir_ + L"\\t\x00e9mp \x03a9\x0436";
  const std::wstring kept = dir_ + L"\\kept";
  CreateDirectoryW(temp.c_str(), nullptr);
  CreateDirectoryW(kept.c_str(), nullptr);
  Outcome run = Start(output, Quoted(output) + L" --slient",
                      {{L"TMP", temp}, {L"TEMP", temp}, {L"PLUG_SETUP_KEEP", kept}});
  ASSERT_EQ(run.exit_code, 0u);
  const Record* setup = run.Role("setup");
  ASSERT_TRUE(setup);
  const std::string wd = WorkDirOf(*setup, temp);
  EXPECT_EQ(setup->at("cmdline"),
            Expected(wd, " --plugs-config-path=\"" + wd + "plugs.ini\" --slient"));
  EXPECT_EQ(setup->at("plugs_ini"), wd + "plugs.ini");
  EXPECT_EQ(setup->at("listing"), "HALVEX.PACKED.7Z|plu1.exe|plu2.txt|plu4|plugs.ini|setup.exe");
  EXPECT_EQ(FileFnv(kept + L"\\plu1.exe"), FileFnv(src + L"\\tool.exe"));
  EXPECT_EQ(FileFnv(kept + L"\\plu2.txt"), FileFnv(src + L"\\read me.txt"));
  EXPECT_EQ(FileFnv(kept + L"\\plu4"), FileFnv(src + L"\\data"));

  const std::wstring ini = kept + L"\\plugs.ini";
  std::vector<uint8_t> ini_bytes;
  ASSERT_TRUE(bptest::ReadFileBytes(ini, &ini_bytes));
  ASSERT_GE(ini_bytes.size(), 2u);
  EXPECT_EQ(ini_bytes[0], 0xFF);
  EXPECT_EQ(ini_bytes[1], 0xFE);
  const std::wstring w = Widen(wd);
  EXPECT_EQ(IniSection(ini, L""), L"plu1|plu2|plu4|plugs|");
  EXPECT_EQ(IniSection(ini, L"plu1"), L"name=tool|file=" + w + L"plu1.exe|cmd=/S --x=\"a b\"|"
                                      L"state=1|check=HKCU\\Software\\Tool|display=1|admin=1|");
  EXPECT_EQ(IniSection(ini, L"plu2"),
            L"name=readme|file=" + w + L"plu2.txt|cmd=|state=0|check=|display=0|admin=0|");
  EXPECT_EQ(IniSection(ini, L"plu4"),
            L"name=data|file=" + w + L"plu4|cmd=\x00fc\x0436|state=0|check=|display=1|admin=0|");
  EXPECT_EQ(IniSection(ini, L"plugs"), L"list=plu1,plu2,plu3,plu4,plu5,|");
  EXPECT_TRUE(ListDir(temp).empty());

  // --display-plugs: nothing extracted, no plugs.ini, no switch.
  Outcome plain =
      Start(output, Quoted(output) + L" --display-plugs", {{L"TMP", temp}, {L"TEMP", temp}});
  ASSERT_EQ(plain.exit_code, 0u);
  ASSERT_TRUE(plain.Role("setup"));
  const std::string wd2 = WorkDirOf(*plain.Role("setup"), temp);
  EXPECT_EQ(plain.Role("setup")->at("cmdline"), Expected(wd2, " --display-plugs"));
  EXPECT_EQ(plain.Role("setup")->at("listing"), "HALVEX.PACKED.7Z|setup.exe");
  EXPECT_TRUE(ListDir(temp).empty());
}

// The linked program has 8 sections and header room for all 20; the variants
// with resources have 9. One slot is always the list's; the tenth item's
// name ("plu:") would be a stream, not a file, so it is not packed.
TEST_F(PlugsE2e, RealLayoutsTakeAsManyPlugsAsTheirSlots) {
  std::vector<std::pair<std::wstring, std::string>> items;
  for (int i = 1; i <= 14; ++i) {
    items.push_back({L"p" + std::to_wstring(i), "plug " + std::to_string(i)});
  }
  const std::wstring description = Describe(items);
  const std::wstring list = L"p1,p2,p3,p4,p5,p6,p7,p8,p9,p10,p11,p12,p13,p14,";
  // The trailing comma makes a 15th, empty item.
  const std::wstring stored =
      L"plu1,plu2,plu3,plu4,plu5,plu6,plu7,plu8,plu9,plu:,plu;,plu<,plu=,plu>,plu?,";

  const std::wstring bare = CopyProgram(L"", L"bare.exe");
  Build(bare, Quoted(description));
  PeImage packed;
  ASSERT_TRUE(packed.Load((bare + L"_" + list + L".exe").c_str()));
  EXPECT_EQ(AddedSections(packed, 8),
            (Names{L"plu1", L"plu2", L"plu3", L"plu4", L"plu5", L"plu6", L"plu7", L"plu8", L"plu9",
                   L"plu;", L"plu=", L"plugs"}));
  uint32_t index = 0;
  ASSERT_TRUE(packed.FindSection(L"plugs", &index));
  const ByteView section = packed.SectionBytes(index);
  uint32_t length = 0;
  ASSERT_TRUE(section.ReadU32(0, &length));
  ASSERT_EQ(length, 2 * stored.size());
  EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(section.data() + 4), stored.size()),
            stored);

  const std::wstring bp = CopyProgram(L"plugged");
  Build(bp, Quoted(description));
  const std::wstring output = bp + L"_" + list + L".exe";
  ASSERT_TRUE(packed.Load(output.c_str()));
  EXPECT_EQ(packed.SectionCount(), 20u);
  Outcome run = Start(output, Quoted(output));
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  Names listing = {L"HALVEX.PACKED.7Z", L"plugs.ini", L"setup.exe", L"plu;.bin"};
  for (int i = 1; i <= 9; ++i) listing.push_back(L"plu" + std::to_wstring(i) + L".bin");
  std::sort(listing.begin(), listing.end());
  std::wstring joined;
  for (const std::wstring& name : listing) joined += (joined.empty() ? L"" : L"|") + name;
  EXPECT_EQ(run.Role("setup")->at("listing"), Narrow(joined));
  EXPECT_TRUE(ListDir(temp_).empty());
}

TEST_F(PlugsE2e, DamagedAndHostileSectionsAreSkipped) {
  const std::wstring bp = CopyProgram(L"plugged");
  Build(bp, Quoted(Describe({{L"good", "good plug"}, {L"cut", "cut plug"}})));
  PeImage image;
  ASSERT_TRUE(image.Load((bp + L"_good,cut,.exe").c_str()));
  uint32_t good = 0, cut = 0, list = 0;
  ASSERT_TRUE(image.FindSection(L"plu1", &good));
  ASSERT_TRUE(image.FindSection(L"plu2", &cut));
  ASSERT_TRUE(image.FindSection(L"plugs", &list));
  // The second record claims more bytes than its section holds.
  Put32(image.SectionBlock(cut), image.SectionBlockSize(cut));
  // Valid records under names that are not plain files of the work
  // directory, and one ("setup" with ".exe") that would replace the setup
  // program.
  const uint8_t* good_block = image.SectionBlock(good);
  const Bytes record(good_block, good_block + image.SectionBlockSize(good));
  for (const wchar_t* name : {L"..", L".", L"a\\b", L"CON", L"x:y", L"setup"}) {
    ASSERT_NE(image.AddSection(name, record.size()), nullptr) << Narrow(name);
    uint8_t* block = image.SectionBlock(image.SectionCount() - 1);
    std::memcpy(block, record.data(), record.size());
    if (std::wstring(name) == L"setup") {
      const wchar_t exe[] = L".exe";
      std::memcpy(block + 16, exe, sizeof(exe));
    }
  }
  const std::wstring hostile = L"plu1,plu2,..,.,a\\b,CON,x:y,setup,plu1,";
  uint8_t* block = image.SectionBlock(list);
  Put32(block, static_cast<uint32_t>(2 * hostile.size()));
  std::memcpy(block + 4, hostile.data(), 2 * hostile.size() + 2);
  const std::wstring damaged = dir_ + L"\\damaged.exe";
  ASSERT_TRUE(image.Save(damaged.c_str()));

  const std::wstring kept = dir_ + L"\\kept";
  CreateDirectoryW(kept.c_str(), nullptr);
  const Names before = ListDir(dir_);
  Outcome run = Start(damaged, Quoted(damaged), {{L"PLUG_SETUP_KEEP", kept}});
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  EXPECT_EQ(run.Role("setup")->at("listing"), "HALVEX.PACKED.7Z|plu1.bin|plugs.ini|setup.exe");
  EXPECT_EQ(FileFnv(kept + L"\\setup.exe"), FileFnv(bptest::BinDir() + L"\\plug_setup.exe"));
  EXPECT_EQ(IniSection(kept + L"\\plugs.ini", L""), L"plu1|plugs|");
  EXPECT_EQ(IniSection(kept + L"\\plugs.ini", L"plugs"), L"list=" + hostile + L"|");
  EXPECT_EQ(ListDir(dir_), before);
  EXPECT_FALSE(Exists(L"C:\\bootpack_tests\\a"));
  EXPECT_TRUE(ListDir(temp_).empty());

  // A list whose length runs past its section: no plugs.ini and no switch.
  Put32(image.SectionBlock(list), 0x7FFFFFF0);
  const std::wstring cut_list = dir_ + L"\\cut_list.exe";
  ASSERT_TRUE(image.Save(cut_list.c_str()));
  run = Start(cut_list, Quoted(cut_list));
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  const std::string wd = WorkDirOf(*run.Role("setup"), temp_);
  EXPECT_EQ(run.Role("setup")->at("cmdline"), Expected(wd, ""));
  EXPECT_EQ(run.Role("setup")->at("listing"), "HALVEX.PACKED.7Z|setup.exe");
  EXPECT_TRUE(ListDir(temp_).empty());
}

// plugs.ini is handed to the setup program, which may rewrite it: cleanup
// deletes only files directly inside the work directory.
TEST_F(PlugsE2e, CleanupIgnoresPathsOutsideTheWorkDirectory) {
  const std::wstring bp = CopyProgram(L"plugged");
  Build(bp, Quoted(Describe({{L"tool", "tool plug"}})));
  const std::wstring output = bp + L"_tool,.exe";
  const std::wstring victim = dir_ + L"\\victim.txt";
  ASSERT_TRUE(bptest::WriteFileBytes(victim, "keep"));
  ASSERT_TRUE(bptest::WriteFileBytes(temp_ + L"\\beside.txt", "keep"));
  ASSERT_TRUE(bptest::WriteFileBytes(temp_ + L"\\up.txt", "keep"));
  Outcome run = Start(output, Quoted(output),
                      {{L"PLUG_SETUP_VICTIMS",
                        victim + L"|" + temp_ + L"\\beside.txt|*..\\up.txt|" + temp_}});
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  EXPECT_EQ(run.Role("setup")->at("listing"), "HALVEX.PACKED.7Z|plu1.bin|plugs.ini|setup.exe");
  EXPECT_TRUE(Exists(victim));
  EXPECT_EQ(ListDir(temp_), (Names{L"beside.txt", L"up.txt"}));
}

// Build mode reads a relative description from the current folder, and
// writes nothing for a list that is not part of a plain file name, does not
// fit its 300 units, or is empty.
TEST_F(PlugsE2e, BuildModeWritesOnlyAPlainCopyBesideTheProgram) {
  const std::wstring bp = CopyProgram(L"");
  ASSERT_TRUE(bptest::WriteFileBytes(dir_ + L"\\a.bin", "a"));
  const struct {
    const char* what;
    std::wstring list;
    std::wstring args;
    std::wstring output;  // empty: none
  } cases[] = {
      {"relative description", L"a", L"desc.ini", L"bp.exe_a.exe"},
      {"relative with a folder", L"a,", L".\\desc.ini", L"bp.exe_a,.exe"},
      {"list leaving the folder", L"..\\a", L"desc.ini", L""},
      {"list with a stream", L"a:b", L"desc.ini", L""},
      {"list with a wildcard", L"a*", L"desc.ini", L""},
      {"list of 300 units", L"a," + std::wstring(298, L'x'), L"desc.ini", L""},
      {"empty list", L"", L"desc.ini", L""},
      {"missing description", L"a", L"nothing.ini", L""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(bptest::WriteFileBytes(
        dir_ + L"\\desc.ini",
        Ascii(L"[plugs]\r\nlist=" + c.list + L"\r\n[a]\r\nfile=" + dir_ + L"\\a.bin\r\n")));
    Build(bp, c.args);
    Names expected = {L"a.bin", L"bp.exe", L"desc.ini", L"tmp"};
    if (!c.output.empty()) expected.push_back(c.output);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListDir(dir_), expected) << c.what;
    if (!c.output.empty()) DeleteFileW((dir_ + L"\\" + c.output).c_str());
  }
  EXPECT_FALSE(Exists(L"C:\\bootpack_tests\\a.exe"));
}

// ---- the cleanup switch (run alone with the other Registry suites) ----------

class RegistryPlugs : public bptest::WithProductKey<PlugsE2e> {
 public:
  // The one work directory a run kept in the temp folder, as its listing.
  Names KeptWorkDirectory() {
    const Names left = ListDir(temp_);
    if (left.size() != 1) {
      ADD_FAILURE() << left.size() << " entries in the temp folder";
      return Names();
    }
    return ListDir(temp_ + L"\\" + left[0]);
  }
};

TEST_F(RegistryPlugs, CleanupValueZeroKeepsThePlugFiles) {
  SetCleanupValue(L"0");
  const std::wstring bp = CopyProgram(L"plugged");
  Build(bp, Quoted(Describe({{L"tool", "tool plug"}, {L"data", "data plug"}})));
  const std::wstring output = bp + L"_tool,data,.exe";
  Outcome run = Start(output, Quoted(output));
  ASSERT_EQ(run.exit_code, 0u);
  ASSERT_TRUE(run.Role("setup"));
  EXPECT_EQ(KeptWorkDirectory(),
            (Names{L"HALVEX.PACKED.7Z", L"plu1.bin", L"plu2.bin", L"plugs.ini", L"setup.exe"}));
}

// Plugs are extracted only once the payload and the setup program are in
// place; the kept work directory shows what a failed run extracted.
TEST_F(RegistryPlugs, NoPlugsWhenThePayloadFails) {
  SetCleanupValue(L"0");
  const struct {
    const wchar_t* variant;
    DWORD expected;
  } cases[] = {{L"b7_two_halvex", 112}, {L"no_bl", 116}, {L"cab_garbage", 115}};
  for (const auto& c : cases) {
    bptest::RemoveTree(temp_);
    CreateDirectoryW(temp_.c_str(), nullptr);
    const std::wstring bp = CopyProgram(c.variant);
    Build(bp, Quoted(Describe({{L"tool", "tool plug"}})));
    const std::wstring output = bp + L"_tool,.exe";
    Outcome run = Start(output, Quoted(output));
    EXPECT_EQ(run.exit_code, c.expected) << Narrow(c.variant);
    EXPECT_FALSE(run.Role("setup")) << Narrow(c.variant);
    EXPECT_EQ(KeptWorkDirectory(), Names{L"HALVEX.PACKED.7Z"}) << Narrow(c.variant);
  }
}

}  // namespace
