// The default notes a new user's store is filled with, and the ids the
// sync-version reset needs, read from a default-notes archive that ships in
// "default_notes" beside the service library. Everything here takes and gives
// plain data; the notes manager hands it to the engine.
//
// The archive holds "Default.dat" (nested-section INI, [main] "metas": a JSON
// object {"nodes":[...]} listing the nodes in creation order), and for each
// note whose content it carries "Notes/<uuid>" (an HTML template with one
// "%s" for the image reference) and "Notes/<uuid>.png".
#ifndef RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_DEFAULT_NOTES_H_
#define RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_DEFAULT_NOTES_H_

#include <cpprest/json.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kivvet/adaptor/win/rk_lzma_util.h"
#include "rk_utils.h"

namespace rkservice {

inline constexpr char kDefaultNotesFolder[] = "default_notes";
// Read by the import for the locale "zh-CN" only, and always by the reset.
inline constexpr char kDefaultNotesArchive[] = "Default.7z";
inline constexpr char kDefaultNotesArchiveEn[] = "Default_en.7z";
// Parent of the notes whose content comes from the archive; the import ends
// by adding its favourite with kDefaultFavoriteFlags.
inline constexpr char16_t kDefaultContentNotesParent[] = u"00000011-0000-0000-0000-000000000000";
// Parent of the notes of any other kind (et not 0), such as url notes.
inline constexpr char16_t kDefaultUrlNotesParent[] = u"00000010-0000-0000-0000-000000000000";
inline constexpr int kDefaultFavoriteFlags = 3;
// The engine's resource kind of a note image.
inline constexpr int kDefaultResourceKind = 10;

// One element of "nodes"; a missing or null member reads as the default.
struct DefaultNodeRecord {
  std::u16string uuid;  // "uuid"
  std::u16string pid;   // "pid"
  std::u16string name;  // "fn"
  int kind = 0;         // "ft": 0 folder, 1 note, anything else creates nothing
  int et = 0;           // "et": 0 content from the archive, else handed to the engine
  std::u16string url;   // "url"
  std::u16string sum;   // "sum"
  std::u16string tu;    // "tu"
};

// module_dir/default_notes/Default.7z for exactly "zh-CN", else
// module_dir/default_notes/Default_en.7z.
std::filesystem::path DefaultNotesArchivePath(const std::filesystem::path& module_dir, const std::string& locale_name);

// The archive steps the import and the reset share: the file must exist, open
// and unpack whole into entries. Each failure logs its error line, shows the
// message box and gives false.
bool LoadDefaultNotesArchive(const std::filesystem::path& archive, RkArchiveEntries* entries);

// The "metas" value of [main] (UTF-8; empty when missing). False for fewer
// than 3 bytes or text the INI reader refuses (logged).
bool ReadDefaultDat(const std::string& bytes, std::string* metas);
// The records of a JSON array text, elements without "uuid" or "pid" left
// out. False when the text is not a JSON array.
bool ParseDefaultNodes(const std::string& nodes_json, std::vector<DefaultNodeRecord>* records);
// The member's value; the default when the member is missing or null, or (with
// a warning) of another type.
std::string JsonGetString(const web::json::value& object, const std::string& key, const std::string& default_value);
int JsonGetInt(const web::json::value& object, const std::string& key, int default_value);

// The import's reading of the archive: Default.dat, its metas and their
// nodes. False (with "can not parse json:" and the text) when the metas or
// their "nodes" are not what they should be; false without a log when the
// metas have no "nodes".
bool ReadDefaultNodes(const RkArchiveEntries& entries, std::vector<DefaultNodeRecord>* records);
// The HTML template ("Notes/<uuid>") and image ("Notes/<uuid>.png", empty
// when missing) of a note whose content the archive carries; false when the
// template is missing.
bool FindDefaultNoteContent(const RkArchiveEntries& entries, const std::u16string& uuid, std::string* html_template,
                            std::string* image);
// The note's HTML: the template's first "%s" becomes the reference, "%%"
// becomes "%", any other "%" stays as it is. No length limit.
std::string ExpandNoteTemplate(const std::string& html_template, const std::string& reference);

// The reset's ids: the uuid of every node (none left out), then the three
// fixed ids 00000001-, 00000002- and 00000003-0000-0000-0000-000000000000.
// False, with a log line, when Default.dat is missing or unreadable ("can not
// get default dat: " and the archive path) or the metas are not as expected
// (the JSON error's text).
bool ReadResetIds(const RkArchiveEntries& entries, const std::filesystem::path& archive, std::vector<GUID>* ids);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_DEFAULT_NOTES_H_
