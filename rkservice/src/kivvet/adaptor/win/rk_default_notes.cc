#include "kivvet/adaptor/win/rk_default_notes.h"

#include <exception>
#include <sstream>
#include <system_error>

#include "kivvet/rk_ini_reader.h"
#include "platform/rk_platform.h"
#include "rk_logger.h"

namespace rkservice {
namespace {

constexpr char kDefaultDatEntry[] = "Default.dat";
constexpr char kNotesEntryPrefix[] = "Notes/";
constexpr char kMessageBoxText[] =
    "Can not init notes, because default note file not exists or can not open\nPlease reinstall the application";
constexpr char kMessageBoxCaption[] = "Rekvani";

void ShowArchiveFailure() { platform::ShowMessageBox(kMessageBoxText, kMessageBoxCaption); }

// The member, or null when the value is not an object, lacks it or holds null.
const web::json::value* Member(const web::json::value& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  const web::json::object& members = object.as_object();
  auto it = members.find(key);
  if (it == members.end() || it->second.is_null()) return nullptr;
  return &it->second;
}

std::string EntryOrEmpty(const RkArchiveEntries& entries, const std::string& name) {
  auto it = entries.find(name);
  return it == entries.end() ? std::string() : it->second;
}

}  // namespace

std::filesystem::path DefaultNotesArchivePath(const std::filesystem::path& module_dir, const std::string& locale_name) {
  return module_dir / kDefaultNotesFolder / (locale_name == "zh-CN" ? kDefaultNotesArchive : kDefaultNotesArchiveEn);
}

bool LoadDefaultNotesArchive(const std::filesystem::path& archive, RkArchiveEntries* entries) {
  std::error_code ec;
  if (!std::filesystem::exists(archive, ec)) {
    RkLogError("default note file not exists or can not open, please check it:{0}", archive.string());
    ShowArchiveFailure();
    return false;
  }
  RkLzmaUtil reader;
  if (reader.Open(archive) != 0) {
    RkLogError("can not open archive:{0}", archive.string());
    ShowArchiveFailure();
    return false;
  }
  if (reader.UnpackToMemory(*entries) != RkLzmaUtil::kOk) {
    RkLogError("");
    ShowArchiveFailure();
    return false;
  }
  return true;
}

bool ReadDefaultDat(const std::string& bytes, std::string* metas) {
  if (bytes.size() < 3) return false;
  std::istringstream text(bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes);
  try {
    RkIniReader ini(text);
    const RkIniSection* main = ini.FindSection("main");
    *metas = main != nullptr ? main->Value("metas") : std::string();
    return true;
  } catch (const std::exception& e) {
    RkLogError("can not parse default note file(Default.dat) : {0}", e.what());
    return false;
  }
}

std::string JsonGetString(const web::json::value& object, const std::string& key, const std::string& default_value) {
  const web::json::value* member = Member(object, key);
  if (member == nullptr) return default_value;
  if (!member->is_string()) {
    RkLogWarn("default note member {0} is not a string: {1}", key, member->serialize());
    return default_value;
  }
  return member->as_string();
}

int JsonGetInt(const web::json::value& object, const std::string& key, int default_value) {
  const web::json::value* member = Member(object, key);
  if (member == nullptr) return default_value;
  if (!member->is_number() || !member->as_number().is_int32()) {
    RkLogWarn("default note member {0} is not an integer: {1}", key, member->serialize());
    return default_value;
  }
  return member->as_number().to_int32();
}

bool ParseDefaultNodes(const std::string& nodes_json, std::vector<DefaultNodeRecord>* records) {
  std::error_code ec;
  const web::json::value nodes = web::json::value::parse(nodes_json, ec);
  if (ec || !nodes.is_array()) return false;
  for (const web::json::value& node : nodes.as_array()) {
    if (!node.is_object()) {
      RkLogWarn("default note node is not an object: {0}", node.serialize());
      continue;
    }
    DefaultNodeRecord record;
    record.uuid = Utf8ToWide(JsonGetString(node, "uuid", ""));
    record.pid = Utf8ToWide(JsonGetString(node, "pid", ""));
    if (record.uuid.empty() || record.pid.empty()) continue;
    record.name = Utf8ToWide(JsonGetString(node, "fn", ""));
    record.url = Utf8ToWide(JsonGetString(node, "url", ""));
    record.sum = Utf8ToWide(JsonGetString(node, "sum", ""));
    record.tu = Utf8ToWide(JsonGetString(node, "tu", ""));
    record.kind = JsonGetInt(node, "ft", 0);
    record.et = JsonGetInt(node, "et", 0);
    records->push_back(std::move(record));
  }
  return true;
}

bool ReadDefaultNodes(const RkArchiveEntries& entries, std::vector<DefaultNodeRecord>* records) {
  std::string metas;
  // A missing or unreadable Default.dat leaves the metas empty, which fails
  // below.
  ReadDefaultDat(EntryOrEmpty(entries, kDefaultDatEntry), &metas);
  std::error_code ec;
  const web::json::value root = web::json::value::parse(metas, ec);
  if (ec || !root.is_object()) {
    RkLogError("can not parse json:{0}", metas);
    return false;
  }
  if (!root.has_field("nodes")) return false;
  const std::string nodes = root.at("nodes").serialize();
  if (!ParseDefaultNodes(nodes, records)) {
    RkLogError("can not parse json:{0}", nodes);
    return false;
  }
  return true;
}

bool FindDefaultNoteContent(const RkArchiveEntries& entries, const std::u16string& uuid, std::string* html_template,
                            std::string* image) {
  const std::string name = kNotesEntryPrefix + WideToUtf8(uuid);
  auto it = entries.find(name);
  if (it == entries.end()) return false;
  *html_template = it->second;
  *image = EntryOrEmpty(entries, name + ".png");
  return true;
}

std::string ExpandNoteTemplate(const std::string& html_template, const std::string& reference) {
  std::string html;
  html.reserve(html_template.size() + reference.size());
  bool replaced = false;
  for (size_t i = 0; i < html_template.size(); ++i) {
    const char c = html_template[i];
    const char next = i + 1 < html_template.size() ? html_template[i + 1] : '\0';
    if (c == '%' && next == '%') {
      html += '%';
      ++i;
    } else if (c == '%' && next == 's' && !replaced) {
      html += reference;
      replaced = true;
      ++i;
    } else {
      html += c;
    }
  }
  return html;
}

bool ReadResetIds(const RkArchiveEntries& entries, const std::filesystem::path& archive, std::vector<GUID>* ids) {
  std::string metas;
  if (!ReadDefaultDat(EntryOrEmpty(entries, kDefaultDatEntry), &metas)) {
    RkLogError("can not get default dat: {0}", archive.string());
    return false;
  }
  std::vector<GUID> found;
  try {
    const web::json::value root = web::json::value::parse(metas);
    for (const web::json::value& node : root.at("nodes").as_array()) {
      found.push_back(StringToGuid(Utf8ToWide(node.at("uuid").as_string())));
    }
  } catch (const std::exception& e) {
    RkLogError("{0}", e.what());
    return false;
  }
  for (uint32_t fixed = 1; fixed <= 3; ++fixed) found.push_back(GUID{fixed, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}});
  ids->insert(ids->end(), found.begin(), found.end());
  return true;
}

}  // namespace rkservice
