// Plug sections in-process: the record and list formats against hostile
// bytes, packing into generated images from description files, extraction
// into a folder, plugs.ini and cleanup.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bp_installer_config.h"
#include "bp_pe_image.h"
#include "bp_plug_format.h"
#include "bp_plug_image.h"
#include "bp_plugs.h"
#include "bp_test_util.h"
#include "fixtures/make_pe.h"

namespace bootpack {
namespace {

using Bytes = std::vector<uint8_t>;
using bptest::AddedSections;
using bptest::Ascii;
using bptest::GuardedBytes;
using bptest::IniSection;
using bptest::ListDir;
using bptest::Utf16WithBom;
using pefx::Put32;
using Names = std::vector<std::wstring>;

std::wstring TestDir() { return bptest::FreshTestDir("plugs_", true); }

void PutUnits(Bytes& b, size_t at, const std::wstring& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    b[at + 2 * i] = static_cast<uint8_t>(text[i]);
    b[at + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
}

// A record laid out by hand at the documented offsets.
struct RecordFields {
  uint32_t display = 1, admin = 0, state = 0;
  std::wstring extension = L".exe", name = L"tool", cmd = L"/S", check = L"HKCU\\Software\\Tool";
  std::string data = "plug bytes";
};

Bytes MakeRecord(const RecordFields& r, size_t padding = 0) {
  Bytes b(1596 + r.data.size() + padding, 0);
  Put32(b, 0, static_cast<uint32_t>(r.data.size()));
  Put32(b, 4, r.display);
  Put32(b, 8, r.admin);
  Put32(b, 12, r.state);
  PutUnits(b, 16, r.extension);
  PutUnits(b, 36, r.name);
  PutUnits(b, 556, r.cmd);
  PutUnits(b, 1076, r.check);
  std::memcpy(b.data() + 1596, r.data.data(), r.data.size());
  return b;
}

Bytes MakeList(const std::wstring& text, size_t padding = 0) {
  Bytes b(4 + 2 * text.size() + 2 + padding, 0);
  Put32(b, 0, static_cast<uint32_t>(2 * text.size()));
  PutUnits(b, 4, text);
  return b;
}

std::wstring Text(const wchar_t* text) { return text; }

// ---- the record format --------------------------------------------------------

TEST(PlugRecordFormat, FieldsSitAtTheirOffsetsBothWays) {
  RecordFields fields;
  fields.display = 7;
  fields.admin = 1;
  fields.state = 0xFFFFFFFF;
  fields.extension = L".abcdefgh";  // 9 units: the field's whole room
  fields.name = std::wstring(259, L'n');
  fields.cmd = L"\"C:\\Program Files\\t.exe\" /S \x00fc\x0436";
  const Bytes bytes = MakeRecord(fields, 100);
  GuardedBytes guard(bytes.size());
  PlugRecord record;
  ASSERT_TRUE(ParsePlugRecord(guard.Put(bytes), &record));
  EXPECT_EQ(record.display, 7u);
  EXPECT_EQ(record.admin, 1u);
  EXPECT_EQ(record.state, 0xFFFFFFFFu);
  EXPECT_EQ(Text(record.extension), fields.extension);
  EXPECT_EQ(Text(record.name), fields.name);
  EXPECT_EQ(Text(record.cmd), fields.cmd);
  EXPECT_EQ(Text(record.check), fields.check);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(record.data.data()), record.data.size()),
            fields.data);

  Bytes written(1596, 0);
  WritePlugHeader(written.data(), record, static_cast<uint32_t>(fields.data.size()));
  EXPECT_TRUE(Bytes(bytes.begin(), bytes.begin() + 1596) == written);
}

TEST(PlugRecordFormat, DamagedRecordsAreRefusedWithoutReadingPastTheEnd) {
  using Mutation = std::function<void(Bytes&)>;
  const Bytes valid = MakeRecord(RecordFields());
  const struct {
    const char* what;
    Mutation mutate;
  } cases[] = {
      {"header cut", [](Bytes& b) { b.resize(1595); }},
      {"data cut", [](Bytes& b) { b.resize(b.size() - 1); }},
      {"data_size 0", [](Bytes& b) { Put32(b, 0, 0); }},
      {"data_size one past the end",
       [](Bytes& b) { Put32(b, 0, static_cast<uint32_t>(b.size() - 1595)); }},
      {"data_size wraps", [](Bytes& b) { Put32(b, 0, 0xFFFFFFFF); }},
      {"data_size past 4 GiB with the header", [](Bytes& b) { Put32(b, 0, 0xFFFFF9C5); }},
      {"extension without NUL", [](Bytes& b) { PutUnits(b, 16, L".abcdefghi"); }},
      {"extension without dot", [](Bytes& b) { PutUnits(b, 16, L"exe"); }},
      {"extension with a path", [](Bytes& b) { PutUnits(b, 16, L".\\..\\x"); }},
      {"extension with a stream", [](Bytes& b) { PutUnits(b, 16, L".a:b"); }},
      {"extension with a control unit", [](Bytes& b) { PutUnits(b, 16, L".e\x01x"); }},
      {"name without NUL", [](Bytes& b) { PutUnits(b, 36, std::wstring(260, L'n')); }},
      {"cmd without NUL", [](Bytes& b) { PutUnits(b, 556, std::wstring(260, L'c')); }},
      {"check without NUL", [](Bytes& b) { PutUnits(b, 1076, std::wstring(260, L'k')); }},
      {"name with a line break", [](Bytes& b) { PutUnits(b, 36, L"a\r\nfile=C:\\x"); }},
      {"cmd with a line break", [](Bytes& b) { PutUnits(b, 556, L"a\nb"); }},
      {"check with a line break", [](Bytes& b) { PutUnits(b, 1076, L"\r"); }},
  };
  for (const auto& c : cases) {
    Bytes bytes = valid;
    c.mutate(bytes);
    GuardedBytes guard(bytes.size());
    PlugRecord record;
    EXPECT_FALSE(ParsePlugRecord(guard.Put(bytes), &record)) << c.what;
  }
  // Every cut of a valid record.
  GuardedBytes guard(valid.size());
  for (size_t length = 0; length < valid.size(); ++length) {
    PlugRecord record;
    EXPECT_FALSE(ParsePlugRecord(guard.Put(Bytes(valid.begin(), valid.begin() + length)), &record))
        << length;
  }
}

// ---- the list format ------------------------------------------------------------

TEST(PlugListFormat, ListsAreReadWithinTheirLengthAndBuffer) {
  // The list "plu1," with its length field set to `length`.
  const auto with_length = [](uint32_t length) {
    Bytes b = MakeList(L"plu1,");
    Put32(b, 0, length);
    return b;
  };
  Bytes no_nul = MakeList(L"plu1,");
  no_nul.resize(no_nul.size() - 2);
  const struct {
    const char* what;
    Bytes bytes;
    bool ok;
  } cases[] = {
      {"two names", MakeList(L"plu1,plu2,"), true},
      {"299 units", MakeList(std::wstring(299, L'a')), true},
      {"padding after the NUL", MakeList(L"plu1,", 4000), true},
      {"no NUL stored after the text", no_nul, true},
      {"300 units: past the buffer", MakeList(std::wstring(300, L'a')), false},
      {"length 0", MakeList(L""), false},
      {"length field only", Bytes{2, 0, 0, 0}, false},
      {"shorter than the length field", Bytes{2, 0}, false},
      {"odd length", with_length(9), false},
      {"length past the end", with_length(14), false},
      {"length wraps", with_length(0xFFFFFFFE), false},
      {"NUL inside", MakeList(std::wstring(L"plu1,\0plu2,", 11)), false},
      {"line break inside", MakeList(L"plu1,\r\n[x]"), false},
  };
  for (const auto& c : cases) {
    GuardedBytes guard(c.bytes.size());
    PlugListBuffer list;
    EXPECT_EQ(ParsePlugList(guard.Put(c.bytes), list), c.ok) << c.what;
    if (!c.ok) {
      EXPECT_EQ(list[0], 0) << c.what;
    }
  }
}

TEST(PlugNames, OnlyPlainFileNamesDirectlyInTheWorkDirectory) {
  const struct {
    const wchar_t* name;
    const wchar_t* extension;
    bool ok;
  } cases[] = {
      {L"plu1", L".exe", true},   {L"plu;", L"", true},        {L"plu=", L".ini", true},
      {L"...", L".x", true},      {L"plu\x00fc", L".\x0436", true},
      {L"", L".exe", false},      {L".", L"", false},          {L"..", L"", false},
      {L"..", L".exe", false},    {L"a\\b", L"", false},       {L"a/b", L"", false},
      {L"plu:", L".exe", false},  {L"a*", L"", false},         {L"a?", L"", false},
      {L"a\"", L"", false},       {L"a<", L"", false},         {L"a>", L"", false},
      {L"a|", L"", false},        {L"a\tb", L"", false},       {L"a\x1f", L"", false},
      {L"plu1", L".\\x", false},  {L"plu1", L"exe", false},    {L"plu1", L".abcdefghi", false},
      {L"plu1.", L"", false},     {L"plu1 ", L"", false},      {L"plu1", L".", false},
      {L"plu1", L".ex ", false},  {L"CON", L"", false},        {L"nul", L".txt", false},
      {L"Aux", L".a.b", false},   {L"prn ", L".x", false},     {L"COM1", L"", false},
      {L"lpt9", L".exe", false},  {L"CONOUT$", L"", false},    {L"COM", L"", true},
      {L"COM10", L"", true},      {L"CONS", L".exe", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsPlugFileName(c.name, c.extension), c.ok)
        << bptest::Narrow(c.name) << "|" << bptest::Narrow(c.extension);
  }
}

// ---- packing into generated images ------------------------------------------------

// The installer as the linker used to lay it out: e_lfanew 0x78, 8
// sections, SizeOfHeaders 0x400, header room for 8 more.
Bytes SmallHeaderImage() { return pefx::MakePe(pefx::InstallerLayout()); }

// A layout with room for all 20 section headers.
Bytes RoomyImage() {
  pefx::Layout l;
  l.e_lfanew = 0x80;
  l.size_of_headers = 0x1000;
  l.sections = {{".text", 0x1000, 0x100, 0x1000, 0x200}, {".data", 0x2000, 0x100, 0x1200, 0x200}};
  return pefx::MakePe(l);
}

std::string FileText(const std::wstring& path) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(bptest::ReadFileBytes(path, &bytes)) << bptest::Narrow(path);
  return std::string(bytes.begin(), bytes.end());
}

std::wstring StoredList(const PeImage& image) {
  uint32_t index = 0;
  PlugListBuffer list;
  if (!image.FindSection(L"plugs", &index) || !ParsePlugList(image.SectionBytes(index), list)) {
    return L"<none>";
  }
  return list;
}

PlugRecord StoredRecord(const PeImage& image, const wchar_t* name) {
  uint32_t index = 0;
  PlugRecord record;
  EXPECT_TRUE(image.FindSection(name, &index)) << bptest::Narrow(name);
  EXPECT_TRUE(ParsePlugRecord(image.SectionBytes(index), &record)) << bptest::Narrow(name);
  return record;
}

class PlugPacking : public ::testing::TestWithParam<bool /* UTF-16 description */> {};

// Items keep their numbers whether or not they are packed; empty items,
// items without a readable non-empty file and extensions past the field are
// left out; the list names every item.
TEST_P(PlugPacking, ItemsKeepTheirNumbersAndTheListNamesThemAll) {
  const bool utf16 = GetParam();
  const std::wstring dir = TestDir();
  ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\tool.exe", "MZ tool bytes"));
  ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\readme", std::string(70000, 'r')));
  ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\empty.txt", ""));
  ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\x.abcdefghij", "ten-unit extension"));
  const std::wstring cmd = utf16 ? L"/S --lang=\x00fc\x0436" : L"/S --lang=de";
  const std::wstring list = L"tool,,nofile,missing,empty,longext,readme,";
  const std::wstring description =
      L"[plugs]\r\nlist=" + list + L"\r\n"
      L"[tool]\r\nfile=" + dir + L"\\tool.exe\r\ncmd=" + cmd + L"\r\ncheck=HKCU\\Software\\Tool\r\n"
      L"admin=1\r\nstate=2\r\n"
      L"[nofile]\r\ncmd=x\r\n"
      L"[missing]\r\nfile=" + dir + L"\\missing.exe\r\n"
      L"[empty]\r\nfile=" + dir + L"\\empty.txt\r\n"
      L"[longext]\r\nfile=" + dir + L"\\x.abcdefghij\r\n"
      L"[readme]\r\nfile=" + dir + L"\\readme\r\ndisplay=0\r\n";
  const std::wstring path = dir + L"\\desc.ini";
  ASSERT_TRUE(bptest::WriteFileBytes(path, utf16 ? Utf16WithBom(description) : Ascii(description)));

  const Bytes file = SmallHeaderImage();
  PeImage image;
  ASSERT_TRUE(image.LoadFromMemory(file.data(), file.size()));
  AddPlugSections(&image, path.c_str(), list.c_str());
  EXPECT_EQ(AddedSections(image, 8), (Names{L"plu1", L"plu7", L"plugs"}));
  EXPECT_EQ(StoredList(image), L"plu1,plu2,plu3,plu4,plu5,plu6,plu7,plu8,");

  const PlugRecord tool = StoredRecord(image, L"plu1");
  EXPECT_EQ(Text(tool.name), L"tool");
  EXPECT_EQ(Text(tool.extension), L".exe");
  EXPECT_EQ(Text(tool.cmd), cmd);
  EXPECT_EQ(Text(tool.check), L"HKCU\\Software\\Tool");
  EXPECT_EQ(tool.display, 1u);
  EXPECT_EQ(tool.admin, 1u);
  EXPECT_EQ(tool.state, 2u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tool.data.data()), tool.data.size()),
            "MZ tool bytes");
  const PlugRecord readme = StoredRecord(image, L"plu7");
  EXPECT_EQ(Text(readme.extension), L"");
  EXPECT_EQ(readme.display, 0u);
  EXPECT_EQ(readme.data.size(), 70000u);
  // The record is followed by zeros up to the file alignment.
  uint32_t index = 0;
  ASSERT_TRUE(image.FindSection(L"plu7", &index));
  EXPECT_EQ(image.SectionBytes(index).size(), (1596u + 70000u + 0x1FF) / 0x200 * 0x200);
}

INSTANTIATE_TEST_SUITE_P(Description, PlugPacking, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Utf16WithBom" : "Ascii");
                         });

TEST(PlugPackingLimits, TheListSectionKeepsTheLastSlot) {
  // With room for 8 more headers an eighth plug would take the last one and
  // leave the list out, so that no plug at all would be found.
  const std::wstring dir = TestDir();
  std::wstring list, description;
  for (int i = 1; i <= 9; ++i) {
    const std::wstring item = L"p" + std::to_wstring(i);
    ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\" + item + L".bin", Ascii(item)));
    list += (i > 1 ? L"," : L"") + item;
    description += L"[" + item + L"]\r\nfile=" + dir + L"\\" + item + L".bin\r\n";
  }
  const std::wstring path = dir + L"\\desc.ini";
  ASSERT_TRUE(
      bptest::WriteFileBytes(path, Ascii(L"[plugs]\r\nlist=" + list + L"\r\n" + description)));
  const Bytes file = SmallHeaderImage();
  PeImage image;
  ASSERT_TRUE(image.LoadFromMemory(file.data(), file.size()));
  AddPlugSections(&image, path.c_str(), list.c_str());
  EXPECT_EQ(AddedSections(image, 8),
            (Names{L"plu1", L"plu2", L"plu3", L"plu4", L"plu5", L"plu6", L"plu7", L"plugs"}));
  EXPECT_EQ(StoredList(image), L"plu1,plu2,plu3,plu4,plu5,plu6,plu7,plu8,plu9,");
}

TEST(PlugPackingLimits, NamesAndTextsThatDoNotFitTheirFieldsAreLeftOut) {
  const std::wstring dir = TestDir();
  ASSERT_TRUE(bptest::WriteFileBytes(dir + L"\\f.bin", "f"));
  const std::wstring file = L"file=" + dir + L"\\f.bin\r\n";
  const std::wstring n259(259, L'n'), n260(260, L'n');
  const struct {
    const char* what;
    std::wstring list;
    std::wstring items;
    Names sections;
  } cases[] = {
      {"name of 259 units", n259, L"[" + n259 + L"]\r\n" + file, {L"plu1", L"plugs"}},
      {"name of 260 units", n260, L"[" + n260 + L"]\r\n" + file, {L"plugs"}},
      {"cmd of 260 units", L"c", L"[c]\r\n" + file + L"cmd=" + std::wstring(260, L'c') + L"\r\n",
       {L"plugs"}},
      {"check of 259 units", L"k",
       L"[k]\r\n" + file + L"check=" + std::wstring(259, L'k') + L"\r\n", {L"plu1", L"plugs"}},
      {"file path past 259 units", L"p",
       L"[p]\r\nfile=" + dir + L"\\" + std::wstring(250, L'f') + L"\\f.bin\r\n", {L"plugs"}},
  };
  for (const auto& c : cases) {
    const std::wstring path = dir + L"\\desc.ini";
    ASSERT_TRUE(
        bptest::WriteFileBytes(path, Ascii(L"[plugs]\r\nlist=" + c.list + L"\r\n" + c.items)));
    const Bytes bytes = RoomyImage();
    PeImage image;
    ASSERT_TRUE(image.LoadFromMemory(bytes.data(), bytes.size()));
    AddPlugSections(&image, path.c_str(), c.list.c_str());
    EXPECT_EQ(AddedSections(image, 2), c.sections) << c.what;
    EXPECT_EQ(StoredList(image), L"plu1,") << c.what;
  }
}

// ---- extraction ------------------------------------------------------------------

// An image with one section per (name, bytes) after the generated ones.
Bytes ImageWith(const std::vector<std::pair<std::wstring, Bytes>>& sections) {
  const Bytes base = RoomyImage();
  PeImage image;
  EXPECT_TRUE(image.LoadFromMemory(base.data(), base.size()));
  for (const auto& s : sections) {
    EXPECT_NE(image.AddSection(s.first.c_str(), s.second.size()), nullptr)
        << bptest::Narrow(s.first);
    std::memcpy(image.SectionBlock(image.SectionCount() - 1), s.second.data(), s.second.size());
  }
  const std::wstring path = bptest::FreshDir(L"plugs_image") + L"\\image.exe";
  EXPECT_TRUE(image.Save(path.c_str()));
  std::vector<uint8_t> saved;
  EXPECT_TRUE(bptest::ReadFileBytes(path, &saved));
  return saved;
}

Bytes Plug(const std::wstring& extension, const std::string& data, uint32_t state = 0) {
  RecordFields fields;
  fields.extension = extension;
  fields.data = data;
  fields.state = state;
  return MakeRecord(fields);
}

TEST(PlugExtraction, HostileNamesAndDamagedRecordsAreSkipped) {
  const std::wstring dir = TestDir();
  const std::wstring work = dir + L"\\work\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  ASSERT_TRUE(bptest::WriteFileBytes(work + L"setup.exe", "the real setup program"));
  Bytes past_end = Plug(L".bin", "cut");
  Put32(past_end, 0, 0x1000);
  const std::wstring list =
      L"plu1,..,.,a\\b,a/b,CON,x:y,plu2,plu3,plu4,setup,plu5,plu5,missing,plugs,,tail";
  const Bytes file = ImageWith({
      {L"plu1", Plug(L".exe", "first plug")},
      {L"..", Plug(L".exe", "parent")},
      {L".", Plug(L".exe", "self")},
      {L"a\\b", Plug(L".exe", "nested")},
      {L"a/b", Plug(L".exe", "nested")},
      {L"CON", Plug(L".txt", "device")},
      {L"x:y", Plug(L".exe", "stream")},
      {L"plu2", past_end},
      {L"plu3", Plug(L".\\..\\x", "escape by extension")},
      {L"plu4", Plug(L".ex ", "trailing blank")},
      {L"setup", Plug(L".exe", "replaces setup")},
      {L"plu5", Plug(L"", "fifth", 1)},
      {L"tail", Plug(L".exe", "after the last comma")},
      {L"plugs", MakeList(list)},
  });
  PlugImage image;
  ASSERT_TRUE(image.OpenMemory(file.data(), file.size()));
  PathBuffer ini;
  ASSERT_TRUE(ExtractPlugsFromImage(image, work.c_str(), ini));
  EXPECT_EQ(Text(ini), work + L"plugs.ini");
  EXPECT_EQ(ListDir(dir), Names{L"work"});
  EXPECT_EQ(ListDir(work), (Names{L"plu1.exe", L"plu5", L"plugs.ini", L"setup.exe"}));
  EXPECT_EQ(FileText(work + L"setup.exe"), "the real setup program");
  EXPECT_EQ(FileText(work + L"plu1.exe"), "first plug");
  EXPECT_EQ(FileText(work + L"plu5"), "fifth");
  EXPECT_EQ(IniSection(ini, L""), L"plu1|plu5|plugs|");
  EXPECT_EQ(IniSection(ini, L"plu5"), L"name=tool|file=" + work + L"plu5|cmd=/S|state=1|"
                                      L"check=HKCU\\Software\\Tool|display=1|admin=0|");
  EXPECT_EQ(IniSection(ini, L"plugs"), L"list=" + list + L"|");
}

TEST(PlugExtraction, NoUsableListWritesNothing) {
  Bytes past_end = MakeList(L"plu1,");
  Put32(past_end, 0, 0x2000);
  const struct {
    const char* what;
    std::vector<std::pair<std::wstring, Bytes>> sections;
  } cases[] = {
      {"no list section", {{L"plu1", Plug(L".exe", "x")}}},
      {"list of length 0", {{L"plu1", Plug(L".exe", "x")}, {L"plugs", MakeList(L"")}}},
      {"list past its section", {{L"plu1", Plug(L".exe", "x")}, {L"plugs", past_end}}},
      {"list section named in capitals",
       {{L"plu1", Plug(L".exe", "x")}, {L"PLUGS", MakeList(L"plu1,")}}},
  };
  for (const auto& c : cases) {
    const Bytes file = ImageWith(c.sections);
    const std::wstring work = TestDir() + L"\\";
    PlugImage image;
    ASSERT_TRUE(image.OpenMemory(file.data(), file.size())) << c.what;
    PathBuffer ini;
    EXPECT_FALSE(ExtractPlugsFromImage(image, work.c_str(), ini)) << c.what;
    EXPECT_EQ(ini[0], 0) << c.what;
    EXPECT_TRUE(ListDir(work).empty()) << c.what;
  }
  // A work directory too long for plugs.ini.
  const Bytes file = ImageWith({{L"plu1", Plug(L".exe", "x")}, {L"plugs", MakeList(L"plu1,")}});
  PlugImage image;
  ASSERT_TRUE(image.OpenMemory(file.data(), file.size()));
  PathBuffer ini;
  const std::wstring long_dir = L"C:\\" + std::wstring(250, L'w') + L"\\";
  EXPECT_FALSE(ExtractPlugsFromImage(image, long_dir.c_str(), ini));
}

// plugs.ini is UTF-16 from its first byte, so a work directory outside the
// ANSI code page survives in "file", and cleanup finds every plug by it.
TEST(PlugExtraction, Utf16PlugsIniRoundTripsToCleanup) {
  const std::wstring work = TestDir() + L"\\w\x00f6rk \x03a9\x0436\x4e2d\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  const Bytes file = ImageWith({{L"plu1", Plug(L".exe", "one")},
                                {L"plu2", Plug(L".dll", "two", 2)},
                                {L"plugs", MakeList(L"plu1,plu2,plu3,")}});
  PlugImage image;
  ASSERT_TRUE(image.OpenMemory(file.data(), file.size()));
  InstallerConfig config;
  ASSERT_TRUE(ExtractPlugsFromImage(image, work.c_str(), config.plugs_ini_storage));
  config.plugs_ini_path = config.plugs_ini_storage;
  const std::string bytes = FileText(work + L"plugs.ini");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
  EXPECT_EQ(IniSection(config.plugs_ini_path, L"plu2"),
            L"name=tool|file=" + work + L"plu2.dll|cmd=/S|state=0|check=HKCU\\Software\\Tool|"
            L"display=1|admin=0|");
  EXPECT_EQ(ListDir(work), (Names{L"plu1.exe", L"plu2.dll", L"plugs.ini"}));
  DeleteExtractedPlugs(config);
  EXPECT_TRUE(ListDir(work).empty());
}

// ---- the image as the install reads it ------------------------------------------

TEST(PlugImageHeaders, HostileHeadersAreRefusedAndSectionsStayInsideTheFile) {
  const Bytes valid = ImageWith({{L"plu1", Plug(L".exe", "x")}, {L"plugs", MakeList(L"plu1,")}});
  const uint32_t nt = pefx::Get32(valid, pefx::kLfanew);
  std::vector<pefx::HeaderFault> cases = pefx::HeaderFaults();
  cases.push_back({"section table past the end", [nt](Bytes& b) {
                     pefx::Put16(b, nt + pefx::kNumberOfSections, 20);
                     b.resize(nt + 264 + 40 * 20 - 1);
                   }});
  for (const auto& c : cases) {
    Bytes bytes = valid;
    c.mutate(bytes);
    GuardedBytes guard(bytes.size());
    PlugImage image;
    const ByteView view = guard.Put(bytes);
    EXPECT_FALSE(image.OpenMemory(view.data(), view.size())) << c.what;
    EXPECT_EQ(image.SectionCount(), 0u) << c.what;
  }

  // A plug whose raw data lies past the end is skipped; the rest goes on.
  Bytes bytes = valid;
  pefx::Put32(bytes, pefx::SectionHeader(bytes, 2) + pefx::kSizeOfRawData, 0x100000);
  PlugImage image;
  ASSERT_TRUE(image.OpenMemory(bytes.data(), bytes.size()));
  uint32_t index = 0;
  ASSERT_TRUE(image.FindSection(L"plu1", &index));
  EXPECT_TRUE(image.SectionBytes(index).empty());
  const std::wstring work = TestDir() + L"\\";
  PathBuffer ini;
  ASSERT_TRUE(ExtractPlugsFromImage(image, work.c_str(), ini));
  EXPECT_EQ(ListDir(work), Names{L"plugs.ini"});

  // Every cut of the file: whatever opens hands out only bytes inside it.
  GuardedBytes guard(valid.size());
  for (size_t length = 0; length <= valid.size(); ++length) {
    const ByteView view = guard.Put(Bytes(valid.begin(), valid.begin() + length));
    if (!image.OpenMemory(view.data(), view.size())) continue;
    for (uint32_t i = 0; i < image.SectionCount(); ++i) {
      const ByteView section = image.SectionBytes(i);
      PlugRecord record;
      PlugListBuffer list;
      ParsePlugRecord(section, &record);
      ParsePlugList(section, list);
      ASSERT_TRUE(section.empty() || (section.data() >= view.data() &&
                                      section.data() + section.size() <= view.data() + view.size()))
          << length;
    }
  }
}

// ---- cleanup ----------------------------------------------------------------------

TEST(PlugCleanup, DeletesOnlyFilesDirectlyInsideTheWorkDirectory) {
  const std::wstring dir = TestDir();
  const std::wstring work = dir + L"\\CR_00000.tmp\\";
  ASSERT_TRUE(CreateDirectoryW(work.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((work + L"sub").c_str(), nullptr));
  for (const std::wstring& f : {work + L"in.exe", work + L"IN2.txt", work + L"last",
                                work + L"sub\\f.txt", dir + L"\\victim.txt"}) {
    ASSERT_TRUE(bptest::WriteFileBytes(f, "x")) << bptest::Narrow(f);
  }
  std::wstring upper_work = work;
  for (wchar_t& c : upper_work) c = towupper(c);
  // Past the 259 units that a shorter read would keep.
  std::wstring padding;
  while (padding.size() < 250) padding += L"nosuch" + std::to_wstring(padding.size()) + L",";
  const std::wstring list = L"a,b,c,d,e,f,g,h,i,j," + padding + L"last,";
  const std::wstring ini = work + L"plugs.ini";
  const std::wstring text =
      L"[a]\r\nfile=" + work + L"in.exe\r\n"
      L"[b]\r\nfile=" + work + L"..\\victim.txt\r\n"
      L"[c]\r\nfile=" + dir + L"\\victim.txt\r\n"
      L"[d]\r\nfile=" + work + L"sub\r\n"
      L"[e]\r\nfile=" + work + L"sub\\f.txt\r\n"
      L"[f]\r\nfile=" + work + L"plugs.ini\r\n"
      L"[g]\r\nfile=victim.txt\r\n"
      L"[h]\r\nfile=" + upper_work + L"in2.txt\r\n"
      L"[i]\r\nfile=" + work + L"NUL\r\n"
      L"[j]\r\nfile=" + work + L"\r\n"
      L"[last]\r\nfile=" + work + L"last\r\n"
      L"[plugs]\r\nlist=" + list + L"\r\n";
  ASSERT_TRUE(bptest::WriteFileBytes(ini, Utf16WithBom(text)));
  ASSERT_GT(list.size(), 259u);
  ASSERT_LT(list.size(), 300u);
  InstallerConfig config;
  config.plugs_ini_path = ini.c_str();
  const BOOL cwd_set = SetCurrentDirectoryW(dir.c_str());
  DeleteExtractedPlugs(config);
  if (cwd_set) SetCurrentDirectoryW(bptest::BinDir().c_str());
  EXPECT_EQ(ListDir(work), Names{L"sub"});
  EXPECT_EQ(ListDir(work + L"sub"), Names{L"f.txt"});
  EXPECT_TRUE(bptest::Exists(dir + L"\\victim.txt"));

  // No plugs.ini written: nothing to do.
  InstallerConfig none;
  DeleteExtractedPlugs(none);
}

}  // namespace
}  // namespace bootpack
