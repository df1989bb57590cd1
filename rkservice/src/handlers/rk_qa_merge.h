// Merging an incoming quick-access site tree into the stored one: what the
// stored tree lacks is appended; nothing stored is removed, reordered or
// changed, except that an appended folder may get a new title.
#ifndef RKSERVICE_SRC_HANDLERS_RK_QA_MERGE_H_
#define RKSERVICE_SRC_HANDLERS_RK_QA_MERGE_H_

#include <cpprest/json.h>

#include <map>
#include <string>
#include <vector>

namespace rkservice {

// A stored folder as the merge indexed it, before anything was appended.
struct RkQAFolderInfo {
  int position = 0;  // in the stored array
  std::string title;
  std::vector<std::string> urls;  // of its children, in order
};

// Keyed by "folderId"; the first of two folders with one identifier wins.
using RkQAFolderIndex = std::map<std::string, RkQAFolderInfo>;

// Both trees are JSON arrays (web::json::json_exception otherwise). The stored
// tree is indexed once: what the merge appends takes no part in its later
// comparisons, so two new items with one url are both appended. Incoming
// items of the wrong shape are skipped.
void MergeQuickAccess(const web::json::value& incoming, web::json::value& stored);

// Beside stored folders titled T, "T 1", "T 3", ... the title becomes T and one
// above the highest number; true when it changed. The number grows as a
// decimal text, so any length of digits works.
bool MakeUniqueFolderTitle(const RkQAFolderIndex& index, std::string& title);

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_QA_MERGE_H_
