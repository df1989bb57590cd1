#include "rk_kivvet_store.h"

#include <sqlite3.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "rk_kivvet_node_json.h"
#include "rk_kivvet_protocol.h"
#include "rk_kivvet_text.h"

namespace rkkivvet {
namespace {

namespace fs = std::filesystem;

constexpr char kFormat[] = "kivvet-1";
constexpr int kBusyTimeoutMs = 5000;
constexpr size_t kMaxExtension = 16;
// Pulled parents can name each other; deeper chains are cut.
constexpr int kMaxDepth = 256;

constexpr char kSchema[] =
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value);"
    "CREATE TABLE nodes(id TEXT PRIMARY KEY, pid TEXT NOT NULL, ft INTEGER NOT NULL, fn TEXT NOT NULL,"
    " url TEXT NOT NULL DEFAULT '', sum TEXT NOT NULL DEFAULT '', tu TEXT NOT NULL DEFAULT '',"
    " et INTEGER NOT NULL DEFAULT 0, minimalist INTEGER NOT NULL DEFAULT 0, ver INTEGER NOT NULL DEFAULT 0,"
    " has_content INTEGER NOT NULL DEFAULT 0, ctime INTEGER NOT NULL DEFAULT 0, mtime INTEGER NOT NULL DEFAULT 0,"
    " lusn INTEGER NOT NULL DEFAULT 0, dirty INTEGER NOT NULL DEFAULT 0,"
    " content_dirty INTEGER NOT NULL DEFAULT 0, susn INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX nodes_pid ON nodes(pid);"
    "CREATE TABLE favorites(fid TEXT PRIMARY KEY, node TEXT NOT NULL UNIQUE, flags INTEGER NOT NULL);"
    "CREATE TABLE note_resources(note TEXT NOT NULL, file TEXT NOT NULL, PRIMARY KEY(note, file));"
    "INSERT INTO meta(key, value) VALUES('format', 'kivvet-1'), ('counter', 0), ('sync_usn', 0),"
    " ('sync_time', 0), ('sync_err', 0), ('sync_uid', '');"
    "INSERT INTO nodes(id, pid, ft, fn) VALUES('00000001-0000-0000-0000-000000000000', '', 0, '');";

// The columns a node answer shows, and all of a node: those first, then the
// local change state.
constexpr char kListColumns[] = "id, pid, ft, fn, url, sum, tu, et, minimalist, ver, has_content, ctime, mtime";
constexpr char kNodeColumns[] =
    "id, pid, ft, fn, url, sum, tu, et, minimalist, ver, has_content, ctime, mtime, lusn, dirty, content_dirty, "
    "susn";
static_assert(std::string_view(kNodeColumns).substr(0, sizeof(kListColumns) - 1) == kListColumns,
              "a node's row starts with the listed columns");

int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) {
    if (db == nullptr || sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt_);
      stmt_ = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& text) {
    if (stmt_ != nullptr) sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, int64_t value) {
    if (stmt_ != nullptr) sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  // True on a row.
  bool Step() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_ROW; }
  // True when the statement ran to its end.
  bool Run() { return stmt_ != nullptr && sqlite3_step(stmt_) == SQLITE_DONE; }
  // Valid until the next Step.
  std::string_view View(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return data != nullptr ? std::string_view(data, sqlite3_column_bytes(stmt_, column)) : std::string_view();
  }
  std::string Text(int column) const {
    const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    return data != nullptr ? std::string(data, sqlite3_column_bytes(stmt_, column)) : std::string();
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Rolls back unless committed.
class Transaction {
 public:
  explicit Transaction(sqlite3* db) : db_(db) {
    ok_ = sqlite3_exec(db_, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  ~Transaction() {
    if (ok_) sqlite3_exec(db_, "ROLLBACK;", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return ok_; }
  bool Commit() {
    if (!ok_) return false;
    ok_ = false;
    return sqlite3_exec(db_, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
  }

 private:
  sqlite3* db_;
  bool ok_ = false;
};

// A node as stored: what travels, where `usn` is the peer's version this
// one is based on and `has_content` tells the content is here, plus the
// local change state.
struct Row : protocol::NodeRecord {
  int64_t lusn = 0;  // the store's change number of the last local change
  bool dirty = false;  // changed here since the last push
  bool content_dirty = false;  // the content too
};

// The kListColumns that start the row the statement is on; the texts live
// until the statement steps again.
RkKivvetNodeView ReadView(const Statement& s) {
  RkKivvetNodeView node;
  node.id = s.View(0);
  node.pid = s.View(1);
  node.ft = static_cast<int32_t>(s.Int(2));
  node.fn = s.View(3);
  node.url = s.View(4);
  node.sum = s.View(5);
  node.tu = s.View(6);
  node.et = static_cast<int32_t>(s.Int(7));
  node.minimalist = static_cast<int32_t>(s.Int(8));
  node.ver = static_cast<int32_t>(s.Int(9));
  node.has_content = s.Int(10) != 0;
  node.ctime = s.Int(11);
  node.mtime = s.Int(12);
  return node;
}

Row ReadRow(const Statement& s) {
  const RkKivvetNodeView node = ReadView(s);
  Row r;
  r.id = node.id;
  r.pid = node.pid;
  r.ft = node.ft;
  r.fn = node.fn;
  r.url = node.url;
  r.sum = node.sum;
  r.tu = node.tu;
  r.et = node.et;
  r.minimalist = node.minimalist;
  r.ver = node.ver;
  r.has_content = node.has_content;
  r.ctime = node.ctime;
  r.mtime = node.mtime;
  r.lusn = s.Int(13);
  r.dirty = s.Int(14) != 0;
  r.content_dirty = s.Int(15) != 0;
  r.usn = s.Int(16);
  return r;
}

bool FindRow(sqlite3* db, const std::string& id, Row* row) {
  if (db == nullptr || id.empty()) return false;
  Statement s(db, (std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE id=?;").c_str());
  s.Bind(1, id);
  if (!s.Step()) return false;
  *row = ReadRow(s);
  return true;
}

bool InsertRow(sqlite3* db, const Row& r) {
  Statement s(db,
              "INSERT INTO nodes(id, pid, ft, fn, url, sum, tu, et, minimalist, ver, has_content, ctime, mtime, "
              "lusn, dirty, content_dirty, susn) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?);");
  s.Bind(1, r.id).Bind(2, r.pid).Bind(3, int64_t{r.ft}).Bind(4, r.fn).Bind(5, r.url).Bind(6, r.sum).Bind(7, r.tu);
  s.Bind(8, int64_t{r.et}).Bind(9, int64_t{r.minimalist}).Bind(10, int64_t{r.ver}).Bind(11, int64_t{r.has_content});
  s.Bind(12, r.ctime).Bind(13, r.mtime).Bind(14, r.lusn).Bind(15, int64_t{r.dirty});
  s.Bind(16, int64_t{r.content_dirty}).Bind(17, r.usn);
  return s.Run();
}

std::string Meta(sqlite3* db, const char* key) {
  Statement s(db, "SELECT value FROM meta WHERE key=?;");
  s.Bind(1, std::string(key));
  return s.Step() ? s.Text(0) : std::string();
}

int64_t MetaInt(sqlite3* db, const char* key) {
  Statement s(db, "SELECT value FROM meta WHERE key=?;");
  s.Bind(1, std::string(key));
  return s.Step() ? s.Int(0) : 0;
}

template <typename T>
bool SetMeta(sqlite3* db, const char* key, const T& value) {
  Statement s(db, "INSERT OR REPLACE INTO meta(key, value) VALUES(?, ?);");
  s.Bind(1, std::string(key)).Bind(2, value);
  return s.Run();
}

// The store's one change counter: every local change takes the next number.
int64_t NextLusn(sqlite3* db) {
  const int64_t next = MetaInt(db, "counter") + 1;
  return SetMeta(db, "counter", next) ? next : 0;
}

// A local change to a node: pushed at the next sync.
bool MarkChanged(sqlite3* db, const std::string& id, bool content) {
  const int64_t lusn = NextLusn(db);
  Statement s(db,
              "UPDATE nodes SET dirty=1, lusn=?, mtime=?, content_dirty=CASE WHEN ? THEN 1 ELSE content_dirty END "
              "WHERE id=?;");
  s.Bind(1, lusn).Bind(2, Now()).Bind(3, int64_t{content}).Bind(4, id);
  return lusn != 0 && s.Run();
}

bool IsFavorite(sqlite3* db, const std::string& id) {
  Statement s(db, "SELECT 1 FROM favorites WHERE node=?;");
  s.Bind(1, id);
  return s.Step();
}

int32_t ResourceCount(sqlite3* db, const std::string& id) {
  Statement s(db, "SELECT count(*) FROM note_resources WHERE note=?;");
  s.Bind(1, id);
  return s.Step() ? static_cast<int32_t>(s.Int(0)) : 0;
}

// Answers that list many nodes read them straight from the statement, with
// the favourites and resource counts of all nodes looked up in memory.
class NodeLister {
 public:
  explicit NodeLister(sqlite3* db) {
    Statement favorites(db, "SELECT node FROM favorites;");
    while (favorites.Step()) favorites_.insert(favorites.Text(0));
    Statement resources(db, "SELECT note, count(*) FROM note_resources GROUP BY note;");
    while (resources.Step()) resources_[resources.Text(0)] = static_cast<int32_t>(resources.Int(1));
  }

  // The row of kListColumns the statement is on; its texts live until the
  // statement steps again.
  RkKivvetNodeView Read(const Statement& s) {
    RkKivvetNodeView node = ReadView(s);
    if (!favorites_.empty() || !resources_.empty()) {
      key_.assign(node.id);
      node.favorite = favorites_.count(key_) != 0;
      const auto res = resources_.find(key_);
      node.resources = res != resources_.end() ? res->second : 0;
    }
    return node;
  }

 private:
  std::unordered_set<std::string> favorites_;
  std::unordered_map<std::string, int32_t> resources_;
  std::string key_;
};

// Every node's text, rendered once in the order the nodes were made and
// split where a folder's "nodes" go, with each node's children linked in
// that order. Nesting is put together from the pieces.
class NodeTree {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);

  explicit NodeTree(sqlite3* db) {
    Statement count(db, "SELECT count(*) FROM nodes;");
    const size_t rows = count.Step() ? static_cast<size_t>(count.Int(0)) : 0;
    // Grown once or not at all: copying a growing text of megabytes costs
    // more than rendering it.
    text_.reserve(rows * kNodeTextGuess);
    ids_.reserve(rows * 2 * kIdTextSize);
    nodes_.reserve(rows);
    std::vector<std::pair<size_t, size_t>> pids;  // into ids_
    pids.reserve(rows);
    NodeLister lister(db);
    Statement s(db, (std::string("SELECT ") + kListColumns + " FROM nodes ORDER BY rowid;").c_str());
    while (s.Step()) {
      const RkKivvetNodeView view = lister.Read(s);
      Node node;
      node.folder = view.ft == 0;
      node.head = text_.size();
      AppendNodeHead(view, &text_);
      node.tail = text_.size();
      AppendNodeTail(view, &text_);
      node.end = text_.size();
      node.id = {ids_.size(), view.id.size()};
      ids_.append(view.id);
      pids.emplace_back(ids_.size(), view.pid.size());
      ids_.append(view.pid);
      nodes_.push_back(node);
    }
    // ids_ is complete: views into it stay valid from here on.
    Index();
    std::vector<size_t> last_child(nodes_.size(), kNone);
    for (size_t i = 0; i < nodes_.size(); ++i) {
      const size_t parent = Find(Id(pids[i]));
      if (parent == kNone) continue;
      (last_child[parent] == kNone ? nodes_[parent].first_child : nodes_[last_child[parent]].next_sibling) = i;
      last_child[parent] = i;
    }
  }

  size_t Find(std::string_view id) const {
    if (slots_.empty()) return kNone;
    for (size_t slot = Hash(id);; slot = (slot + 1) & (slots_.size() - 1)) {
      const size_t at = slots_[slot];
      if (at == kNone || Id(nodes_[at].id) == id) return at;
    }
  }

  // Hands `emit` the children of the node at `parent` as a JSON array, piece
  // by piece, folders with their own children under "nodes"; cut below
  // kMaxDepth, as pulled parents can name each other.
  template <typename Emit>
  void WalkChildren(size_t parent, int depth, Emit&& emit) const {
    emit("[");
    const size_t first = depth > kMaxDepth ? kNone : nodes_[parent].first_child;
    for (size_t i = first; i != kNone; i = nodes_[i].next_sibling) {
      const Node& node = nodes_[i];
      if (i != first) emit(",");
      emit(std::string_view(text_).substr(node.head, node.tail - node.head));
      if (node.folder) {
        emit(",\"nodes\":");
        WalkChildren(i, depth + 1, emit);
      }
      emit(std::string_view(text_).substr(node.tail, node.end - node.tail));
    }
    emit("]");
  }

 private:
  static constexpr size_t kNodeTextGuess = 320;
  static constexpr size_t kIdTextSize = 36;

  struct Node {
    size_t head = 0, tail = 0, end = 0;  // into text_
    std::pair<size_t, size_t> id;  // into ids_
    bool folder = false;
    size_t first_child = kNone, next_sibling = kNone;
  };

  std::string_view Id(std::pair<size_t, size_t> at) const { return std::string_view(ids_).substr(at.first, at.second); }
  size_t Hash(std::string_view id) const { return std::hash<std::string_view>()(id) & (slots_.size() - 1); }

  // Open addressing over a power of two at least twice the node count: one
  // allocation for ten thousand ids. Ids are unique in the table.
  void Index() {
    size_t size = 16;
    while (size < nodes_.size() * 2) size *= 2;
    slots_.assign(size, kNone);
    for (size_t i = 0; i < nodes_.size(); ++i) {
      size_t slot = Hash(Id(nodes_[i].id));
      while (slots_[slot] != kNone) slot = (slot + 1) & (size - 1);
      slots_[slot] = i;
    }
  }

  std::string text_;
  std::string ids_;
  std::vector<Node> nodes_;
  std::vector<size_t> slots_;
};

// Writes the pieces into the sink in one piece, only once all are known.
template <typename Walk>
bool WriteWalk(RkByteSink* sink, Walk&& walk) {
  size_t size = 0;
  walk([&](std::string_view piece) { size += piece.size(); });
  uint8_t* out = sink->Grow(size);
  if (out == nullptr) return false;
  walk([&](std::string_view piece) {
    std::memcpy(out, piece.data(), piece.size());
    out += piece.size();
  });
  return true;
}

bool IsHex(const std::string& text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool IsWordChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The resource files an HTML text names: "ResCache/" + 32 hex digits and an
// optional extension.
std::set<std::string> ReferencedResources(const std::string& html) {
  // Not a static string: one made on first use would be torn down at exit
  // before the service's close has stopped the engine that reads it.
  constexpr std::string_view kMark = "ResCache/";
  std::set<std::string> files;
  for (size_t at = html.find(kMark); at != std::string::npos; at = html.find(kMark, at + 1)) {
    const size_t start = at + kMark.size();
    std::string name = html.substr(start, 32);
    if (name.size() != 32 || !IsHex(name)) continue;
    name = Upper(name);
    size_t end = start + 32;
    if (end < html.size() && html[end] == '.') {
      size_t ext_end = end + 1;
      while (ext_end < html.size() && IsWordChar(html[ext_end])) ++ext_end;
      if (ext_end > end + 1) name += html.substr(end, ext_end - end);
    }
    files.insert(name);
  }
  return files;
}

// Written beside and renamed over, so a reader sees the old file or the new
// one, never half of one.
bool WriteFileAtomically(const fs::path& file, const char* data, size_t size) {
  std::error_code ec;
  fs::create_directories(file.parent_path(), ec);
  const fs::path temp = file.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    if (size != 0) out.write(data, static_cast<std::streamsize>(size));
    if (!out.flush()) return false;
  }
  fs::rename(temp, file, ec);
  if (ec) fs::remove(temp, ec);
  return !ec;
}

bool ReadFile(const fs::path& file, std::string* data) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

RkKivvetStore::~RkKivvetStore() { Close(); }

bool RkKivvetStore::Open(const fs::path& path, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return OpenLocked(path, name);
}

bool RkKivvetStore::OpenLocked(const fs::path& path, const std::string& name) {
  CloseLocked();
  std::error_code ec;
  if (path.empty()) return false;
  const bool exists = fs::exists(path, ec);
  if (exists && !fs::is_regular_file(path, ec)) return false;
  // Every use of the connection is under mutex_; SQLite's own locking on
  // each call would only cost (a listing reads ten thousand rows).
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX;
  if (!exists) flags |= SQLITE_OPEN_CREATE;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close_v2(db);
    return false;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // Reading the schema fails for a file that is not a database, before
  // anything is written to it.
  std::set<std::string> tables;
  sqlite3_stmt* probe = nullptr;
  bool ok = sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type='table';", -1, &probe, nullptr) ==
            SQLITE_OK;
  int rc = SQLITE_DONE;
  while (ok && (rc = sqlite3_step(probe)) == SQLITE_ROW) {
    tables.insert(reinterpret_cast<const char*>(sqlite3_column_text(probe, 0)));
  }
  ok = ok && rc == SQLITE_DONE;
  sqlite3_finalize(probe);
  if (ok && tables.empty()) {
    // A new file (or an empty database): made a store in one step.
    ok = sqlite3_exec(db, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr) == SQLITE_OK;
    Transaction transaction(db);
    ok = ok && transaction.ok() && sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) == SQLITE_OK &&
         SetMeta(db, "name", name) && transaction.Commit();
  } else if (ok) {
    // Somebody else's database is left as it is.
    ok = tables.count("meta") != 0 && tables.count("nodes") != 0 && Meta(db, "format") == kFormat &&
         sqlite3_exec(db, "PRAGMA journal_mode=DELETE;", nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  if (!ok) {
    sqlite3_close_v2(db);
    return false;
  }
  db_ = db;
  dir_ = fs::absolute(path, ec).parent_path();
  return true;
}

void RkKivvetStore::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

void RkKivvetStore::CloseLocked() {
  if (db_ == nullptr) return;
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

void RkKivvetStore::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
  dir_.clear();
}

fs::path RkKivvetStore::ContentFile(const std::string& id) const { return dir_ / "NoteFiles" / (id + ".html"); }

bool RkKivvetStore::WriteContentFile(const std::string& id, const char* data, size_t size) {
  return WriteFileAtomically(ContentFile(id), data, size);
}

std::string RkKivvetStore::RootId() {
  std::lock_guard<std::mutex> lock(mutex_);
  return db_ != nullptr ? kRootId : std::string();
}

int32_t RkKivvetStore::CountChildren(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row)) return -1;
  Statement s(db_, "SELECT count(*) FROM nodes WHERE pid=?;");
  s.Bind(1, id);
  return s.Step() ? static_cast<int32_t>(s.Int(0)) : -1;
}

bool RkKivvetStore::NodeInfo(const std::string& id, std::string* json) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || id.empty()) return false;
  Statement s(db_, (std::string("SELECT ") + kListColumns + " FROM nodes WHERE id=?;").c_str());
  s.Bind(1, id);
  if (!s.Step()) return false;
  RkKivvetNodeView node = ReadView(s);
  node.favorite = IsFavorite(db_, id);
  node.resources = ResourceCount(db_, id);
  json->clear();
  AppendNodeHead(node, json);
  AppendNodeTail(node, json);
  return true;
}

bool RkKivvetStore::NodesUnder(const std::string& id, RkByteSink* sink) {
  if (sink == nullptr) return false;
  std::optional<NodeTree> tree;  // none under a note
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Row row;
    if (!FindRow(db_, id, &row)) return false;
    if (row.ft == 0) tree.emplace(db_);
  }
  // The tree holds all it needs: the caller's sink is written to unlocked.
  if (!tree) return WriteWalk(sink, [](auto&& emit) { emit("{\"nodes\":[]}"); });
  const size_t root = tree->Find(id);
  return WriteWalk(sink, [&](auto&& emit) {
    emit("{\"nodes\":");
    tree->WalkChildren(root, 0, emit);
    emit("}");
  });
}

bool RkKivvetStore::UrlNotes(int32_t type, std::string* json) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  NodeLister lister(db_);
  Statement s(db_, (std::string("SELECT ") + kListColumns +
                    " FROM nodes WHERE ft<>0 AND url<>'' AND (?=0 OR et=?) ORDER BY rowid;").c_str());
  s.Bind(1, int64_t{type}).Bind(2, int64_t{type});
  json->assign("{\"nodes\":[");
  for (bool first = true; s.Step(); first = false) {
    if (!first) json->push_back(',');
    const RkKivvetNodeView node = lister.Read(s);
    AppendNodeHead(node, json);
    AppendNodeTail(node, json);
  }
  json->append("]}");
  return true;
}

int32_t RkKivvetStore::UrlNoteCount(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || url.empty()) return 0;
  Statement s(db_, "SELECT count(*) FROM nodes WHERE ft<>0 AND url=?;");
  s.Bind(1, url);
  return s.Step() ? static_cast<int32_t>(s.Int(0)) : 0;
}

bool RkKivvetStore::NodePath(const std::string& id, std::string* json) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row)) return false;
  nlohmann::json path = nlohmann::json::array();
  Row parent;
  for (int depth = 0; FindRow(db_, row.pid, &parent) && parent.id != kRootId && depth < kMaxDepth; ++depth) {
    path.insert(path.begin(), nlohmann::json{{"id", parent.id}, {"fn", parent.fn}});
    row = parent;
  }
  *json = protocol::Dump({{"id", id}, {"path", std::move(path)}});
  return true;
}

bool RkKivvetStore::NoteMeta(std::string* json) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Statement counts(db_, "SELECT sum(ft=0), sum(ft<>0) FROM nodes WHERE id<>?;");
  counts.Bind(1, std::string(kRootId));
  const bool counted = counts.Step();
  nlohmann::json favorites = nlohmann::json::array();
  Statement s(db_, "SELECT fid, node, flags FROM favorites ORDER BY rowid;");
  while (s.Step()) favorites.push_back({{"fid", s.Text(0)}, {"id", s.Text(1)}, {"flags", s.Int(2)}});
  *json = protocol::Dump({{"root", kRootId},
                          {"version", MetaInt(db_, "counter")},
                          {"sync_version", MetaInt(db_, "sync_usn")},
                          {"folders", counted ? counts.Int(0) : 0},
                          {"notes", counted ? counts.Int(1) : 0},
                          {"favorites", std::move(favorites)}});
  return true;
}

bool RkKivvetStore::ContentPath(const std::string& id, std::string* path) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0 || !row.has_content) return false;
  std::error_code ec;
  const fs::path file = ContentFile(id);
  if (!fs::is_regular_file(file, ec)) return false;
  *path = file.string();
  return true;
}

int32_t RkKivvetStore::NoteVersion(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0) return -1;
  return row.ver;
}

bool RkKivvetStore::LastSync(RkKivvetSyncState* state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  state->usn = MetaInt(db_, "sync_usn");
  state->time = MetaInt(db_, "sync_time");
  state->error = static_cast<int32_t>(MetaInt(db_, "sync_err"));
  return true;
}

bool RkKivvetStore::CreateFolder(const std::string& parent, const std::string& id, const std::string& name) {
  RkKivvetNewNote folder;
  folder.parent = parent;
  folder.id = id;
  folder.name = name;
  folder.et = -1;
  return CreateNote(folder);
}

bool RkKivvetStore::CreateNote(const RkKivvetNewNote& note) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row parent;
  Row existing;
  if (note.id.empty() || !FindRow(db_, note.parent, &parent) || parent.ft != 0 || FindRow(db_, note.id, &existing)) {
    return false;
  }
  Transaction transaction(db_);
  Row row;
  row.id = note.id;
  row.pid = note.parent;
  // A folder is made through CreateFolder, which passes et -1.
  row.ft = note.et < 0 ? 0 : 1;
  row.fn = note.name;
  row.url = note.url;
  row.sum = note.sum;
  row.tu = note.tu;
  row.et = note.et < 0 ? 0 : note.et;
  row.ver = note.version < 0 ? 0 : note.version;
  row.ctime = row.mtime = Now();
  row.lusn = NextLusn(db_);
  row.dirty = true;
  return transaction.ok() && row.lusn != 0 && InsertRow(db_, row) && transaction.Commit();
}

int32_t RkKivvetStore::ToggleMinimalist(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft != 0 || id == kRootId) return 0;
  Transaction transaction(db_);
  Statement s(db_, "UPDATE nodes SET minimalist=? WHERE id=?;");
  s.Bind(1, int64_t{row.minimalist == 0 ? 1 : 0}).Bind(2, id);
  return transaction.ok() && s.Run() && MarkChanged(db_, id, false) && transaction.Commit() ? 1 : 0;
}

bool RkKivvetStore::AddFavorite(const std::string& id, int32_t flags, std::string* favorite_id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || id == kRootId) return false;
  Statement existing(db_, "SELECT fid FROM favorites WHERE node=?;");
  existing.Bind(1, id);
  if (existing.Step()) {
    *favorite_id = existing.Text(0);
    return true;
  }
  const std::string fid = NewIdText();
  Statement s(db_, "INSERT INTO favorites(fid, node, flags) VALUES(?, ?, ?);");
  s.Bind(1, fid).Bind(2, id).Bind(3, int64_t{flags});
  if (!s.Run()) return false;
  *favorite_id = fid;
  return true;
}

bool RkKivvetStore::RemoveFavorite(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr || id.empty()) return false;
  Statement s(db_, "DELETE FROM favorites WHERE node=? OR fid=?;");
  s.Bind(1, id).Bind(2, id);
  return s.Run() && sqlite3_changes(db_) > 0;
}

bool RkKivvetStore::SetNoteUrl(const std::string& id, const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0) return false;
  Transaction transaction(db_);
  Statement s(db_, "UPDATE nodes SET url=? WHERE id=?;");
  s.Bind(1, url).Bind(2, id);
  return transaction.ok() && s.Run() && MarkChanged(db_, id, false) && transaction.Commit();
}

int32_t RkKivvetStore::SaveContent(const std::string& id, const char* html, int32_t length, bool has_resources) {
  if (length < 0 || (html == nullptr && length > 0)) return 2;
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0) return 1;
  const std::string text(html != nullptr ? html : "", static_cast<size_t>(length));
  if (!WriteContentFile(id, text.data(), text.size())) return 3;
  Transaction transaction(db_);
  Statement update(db_, "UPDATE nodes SET ver=ver+1, has_content=1 WHERE id=?;");
  update.Bind(1, id);
  Statement clear(db_, "DELETE FROM note_resources WHERE note=?;");
  clear.Bind(1, id);
  bool ok = transaction.ok() && update.Run() && clear.Run() && MarkChanged(db_, id, true);
  if (has_resources) {
    for (const std::string& file : ReferencedResources(text)) {
      Statement link(db_, "INSERT OR IGNORE INTO note_resources(note, file) VALUES(?, ?);");
      link.Bind(1, id).Bind(2, file);
      ok = ok && link.Run();
    }
  }
  return ok && transaction.Commit() ? 0 : 3;
}

bool RkKivvetStore::ClearNoteResources(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0) return false;
  Statement s(db_, "DELETE FROM note_resources WHERE note=?;");
  s.Bind(1, id);
  return s.Run();
}

bool RkKivvetStore::SaveResource(const std::string& name, const uint8_t* data, int32_t length,
                                 const std::string& extension, std::string* reference) {
  if (name.size() != 32 || !IsHex(name) || data == nullptr || length <= 0) return false;
  std::string ext;
  for (char c : extension) {
    if (IsWordChar(c) && ext.size() < kMaxExtension) ext.push_back(c);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  const fs::path file = dir_ / "ResCache" / (Upper(name) + (ext.empty() ? "" : "." + ext));
  std::error_code ec;
  // Named by their digest: a file that is there holds these bytes already.
  if (!fs::is_regular_file(file, ec) &&
      !WriteFileAtomically(file, reinterpret_cast<const char*>(data), static_cast<size_t>(length))) {
    return false;
  }
  *reference = "file://" + file.string();
  return true;
}

bool RkKivvetStore::ImportBookmarks(const std::string& body, int32_t* count) {
  const nlohmann::json parsed = protocol::Parse(body);
  const nlohmann::json* list = &parsed;
  if (parsed.is_object()) {
    const auto found = parsed.find("bookmarks");
    if (found == parsed.end()) return false;
    list = &*found;
  }
  if (!list->is_array()) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Transaction transaction(db_);
  if (!transaction.ok()) return false;
  int32_t made = 0;
  for (const nlohmann::json& item : *list) {
    if (!item.is_object()) continue;
    const auto url = item.find("url");
    if (url == item.end() || !url->is_string() || url->get<std::string>().empty()) continue;
    const auto title = item.find("title");
    Row row;
    row.id = NewIdText();
    row.pid = kRootId;
    row.ft = 1;
    row.url = url->get<std::string>();
    row.fn = title != item.end() && title->is_string() ? title->get<std::string>() : row.url;
    row.et = kBookmarkEt;
    row.ctime = row.mtime = Now();
    row.lusn = NextLusn(db_);
    row.dirty = true;
    if (row.lusn == 0 || !InsertRow(db_, row)) return false;
    ++made;
  }
  if (!transaction.Commit()) return false;
  *count = made;
  return true;
}

bool RkKivvetStore::ResetSyncVersion(const std::vector<std::string>& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Transaction transaction(db_);
  bool ok = transaction.ok();
  for (const std::string& id : ids) {
    // The peer's copy of these wins at the next pull, without a conflict.
    Statement s(db_, "UPDATE nodes SET susn=0, dirty=0, content_dirty=0 WHERE id=? AND id<>?;");
    s.Bind(1, id).Bind(2, std::string(kRootId));
    ok = ok && s.Run();
  }
  return ok && SetMeta(db_, "sync_usn", int64_t{0}) && transaction.Commit();
}

bool RkKivvetStore::PrepareSync(const std::string& uid, int64_t* since) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  const std::string previous = Meta(db_, "sync_uid");
  if (previous != uid) {
    Transaction transaction(db_);
    Statement all(db_, "UPDATE nodes SET dirty=1, susn=0, content_dirty=has_content WHERE id<>?;");
    all.Bind(1, std::string(kRootId));
    if (!transaction.ok() || (!previous.empty() && !all.Run()) || !SetMeta(db_, "sync_usn", int64_t{0}) ||
        !SetMeta(db_, "sync_uid", uid) || !transaction.Commit()) {
      return false;
    }
  }
  *since = MetaInt(db_, "sync_usn");
  return true;
}

bool RkKivvetStore::ApplyPulled(const protocol::NodeRecord& record, RkKivvetPulled* result) {
  *result = RkKivvetPulled();
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Row local;
  const bool exists = FindRow(db_, record.id, &local);
  // The root is ours. A version we have, maybe changed here since (that
  // change goes out with the next push).
  if (record.id == kRootId || (exists && local.usn == record.usn)) return true;
  const bool conflict = exists && local.dirty;
  Transaction transaction(db_);
  if (!transaction.ok()) return false;
  if (conflict) {
    // The peer's version keeps the id; the local one lives on as a copy.
    Row copy = local;
    copy.id = NewIdText();
    copy.usn = 0;
    copy.dirty = true;
    copy.content_dirty = local.has_content;
    copy.lusn = NextLusn(db_);
    std::error_code ec;
    if (local.has_content) fs::copy_file(ContentFile(local.id), ContentFile(copy.id), ec);
    if (ec) copy.has_content = copy.content_dirty = false;
    Statement links(db_, "INSERT INTO note_resources(note, file) SELECT ?, file FROM note_resources WHERE note=?;");
    links.Bind(1, copy.id).Bind(2, local.id);
    if (copy.lusn == 0 || !InsertRow(db_, copy) || !links.Run()) return false;
    result->copy_id = copy.id;
  }
  Row row;
  static_cast<protocol::NodeRecord&>(row) = record;
  row.ft = record.ft == 0 ? 0 : 1;
  // Content arrives on request; what is here stays only when it is the same
  // version.
  row.has_content = exists && !conflict && local.has_content && local.ver == record.ver;
  row.lusn = exists ? local.lusn : 0;
  Statement remove(db_, "DELETE FROM nodes WHERE id=?;");
  remove.Bind(1, record.id);
  if (!remove.Run() || !InsertRow(db_, row) || !transaction.Commit()) return false;
  result->changed = true;
  result->added = !exists;
  return true;
}

bool RkKivvetStore::Outgoing(std::vector<RkKivvetOutgoing>* nodes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return false;
  Statement s(db_, (std::string("SELECT ") + kNodeColumns + " FROM nodes WHERE dirty=1 AND id<>? ORDER BY rowid;").c_str());
  s.Bind(1, std::string(kRootId));
  while (s.Step()) {
    const Row r = ReadRow(s);
    RkKivvetOutgoing out;
    protocol::NodeRecord& record = out.record;
    record = r;
    record.base = r.usn;
    record.usn = 0;
    record.with_content = r.content_dirty && r.has_content && ReadFile(ContentFile(r.id), &record.content);
    out.lusn = r.lusn;
    nodes->push_back(std::move(out));
  }
  return true;
}

void RkKivvetStore::Pushed(const std::string& id, int64_t lusn, int64_t usn) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A node changed again while its push was on the way stays to be pushed,
  // now on top of the version the peer took.
  Statement s(db_,
              "UPDATE nodes SET susn=?, dirty=CASE WHEN lusn=? THEN 0 ELSE dirty END,"
              " content_dirty=CASE WHEN lusn=? THEN 0 ELSE content_dirty END WHERE id=?;");
  s.Bind(1, usn).Bind(2, lusn).Bind(3, lusn).Bind(4, id);
  s.Run();
}

void RkKivvetStore::RecordSync(bool ok, int32_t error, int64_t usn) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (db_ == nullptr) return;
  Transaction transaction(db_);
  if (ok) {
    SetMeta(db_, "sync_usn", usn);
    SetMeta(db_, "sync_time", Now());
  }
  SetMeta(db_, "sync_err", int64_t{ok ? 0 : error});
  transaction.Commit();
}

bool RkKivvetStore::IsCurrent(const std::string& id, int64_t usn) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  return id == kRootId || (FindRow(db_, id, &row) && row.usn == usn);
}

bool RkKivvetStore::IsNote(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  return FindRow(db_, id, &row) && row.ft != 0;
}

bool RkKivvetStore::HasContent(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  return FindRow(db_, id, &row) && row.has_content;
}

bool RkKivvetStore::StoreFetchedContent(const std::string& id, const std::string& html, int32_t version) {
  std::lock_guard<std::mutex> lock(mutex_);
  Row row;
  if (!FindRow(db_, id, &row) || row.ft == 0) return false;
  // Local edits not pushed yet win over what the peer holds.
  if (row.content_dirty) return row.has_content;
  if (!WriteContentFile(id, html.data(), html.size())) return false;
  Statement s(db_, "UPDATE nodes SET has_content=1, ver=CASE WHEN ?>=0 THEN ? ELSE ver END WHERE id=?;");
  s.Bind(1, int64_t{version}).Bind(2, int64_t{version}).Bind(3, id);
  return s.Run();
}

}  // namespace rkkivvet
