// The one contract between the service and the SQL engine library "rkdb": the
// two factory exports and the three object interfaces whose tables the
// service calls by position.
//
// ABI rules kept here (both sides are built with the same compiler and
// standard library):
// - The position of every operation in its table is fixed. Positions the
//   service never calls are reserved placeholders that keep their places.
// - No virtual destructor (on this ABI it takes two table slots) and no
//   overloaded virtual (overloads are not grouped in table order). Objects are
//   destroyed only through Release or DeleteRkDbObj2.
// - Texts are NUL-terminated UTF-8; indexes and sizes are 32-bit signed.
// - Parameter indexes count from 1, column indexes from 0.
#ifndef EXTLIBS_RKDB_RK_DB_INTERFACE_H_
#define EXTLIBS_RKDB_RK_DB_INTERFACE_H_

#include <cstdint>
#include <type_traits>

namespace rkdb {

class RkDbRows;
class RkDbStatement;

// A database. One object may be called from several threads at once.
class RkDbObject {
 public:
  // 0: path, open argument, mode text ("1" creates a missing file).
  virtual bool Open(const char* path, const char* open_arg, const char* mode) = 0;
  // 1
  virtual bool TableExists(const char* table) = 0;
  // 2: -1 on failure.
  virtual int32_t Exec(const char* sql) = 0;
  // 3: a result at its end when no row matched; null only on failure.
  virtual RkDbRows* Query(const char* sql) = 0;
  // 4: null on failure.
  virtual RkDbStatement* Prepare(const char* sql) = 0;
  // 5
  virtual int32_t Begin() = 0;
  // 6: harmless without an open transaction; -1 on failure.
  virtual int32_t Rollback() = 0;
  // 7: harmless without an open transaction; -1 on failure.
  virtual int32_t Commit() = 0;
  // 8
  virtual void Close() = 0;
  virtual void Reserved9() = 0;
  virtual void Reserved10() = 0;
  virtual void Reserved11() = 0;
  virtual void Reserved12() = 0;
  // 13: the code of the last failure.
  virtual int32_t LastErrorCode() = 0;

 protected:
  ~RkDbObject() = default;
};

// A prepared statement, used by one thread at a time.
class RkDbStatement {
 public:
  // 0: a size of 0 binds an empty blob, never NULL.
  virtual int32_t BindBlob(int32_t index, const void* data, int32_t size) = 0;
  virtual void Reserved1() = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  // 4
  virtual int32_t BindText(int32_t index, const char* text) = 0;
  virtual void Reserved5() = 0;
  // 6: -1 on failure.
  virtual int32_t Step() = 0;
  // 7: a result on the first row; null when there is no row or on failure.
  // Releasing that result leaves the statement alive.
  virtual RkDbRows* Query() = 0;
  virtual void Reserved8() = 0;
  // 9: the statement is not used afterwards.
  virtual void Release() = 0;

 protected:
  ~RkDbStatement() = default;
};

// A query result. Pointers it returns stay valid until the next row or release.
class RkDbRows {
 public:
  virtual void Reserved0() = 0;
  virtual void Reserved1() = 0;
  virtual void Reserved2() = 0;
  virtual void Reserved3() = 0;
  virtual void Reserved4() = 0;
  virtual void Reserved5() = 0;
  virtual void Reserved6() = 0;
  virtual void Reserved7() = 0;
  virtual void Reserved8() = 0;
  virtual void Reserved9() = 0;
  // 10: the column's bytes of the current row; null with size 0 for NULL.
  virtual const void* Blob(int32_t column, int32_t* size) = 0;
  virtual void Reserved11() = 0;
  // 12: default_text for NULL or when there is no current row.
  virtual const char* Text(int32_t column, const char* default_text) = 0;
  virtual void Reserved13() = 0;
  virtual void Reserved14() = 0;
  // 15
  virtual void Next() = 0;
  // 16: true when there is no current row.
  virtual bool AtEnd() = 0;
  // 17: the result is not used afterwards.
  virtual void Release() = 0;

 protected:
  ~RkDbRows() = default;
};

static_assert(!std::has_virtual_destructor_v<RkDbObject>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkDbStatement>, "a virtual destructor would shift the table");
static_assert(!std::has_virtual_destructor_v<RkDbRows>, "a virtual destructor would shift the table");
static_assert(sizeof(bool) == 1, "the factory returns a one-byte boolean");

// The factory exports, looked up by these names.
using RkDbCreateFn = bool (*)(RkDbObject** db);
using RkDbDeleteFn = void (*)(RkDbObject** db);
inline constexpr char kRkDbCreateName[] = "CreateRkDbObj2";
inline constexpr char kRkDbDeleteName[] = "DeleteRkDbObj2";

}  // namespace rkdb

extern "C" {
// Stores a new database object in *db; false when none could be made.
__attribute__((visibility("default"))) bool CreateRkDbObj2(rkdb::RkDbObject** db);
// Destroys *db (closing it first if needed); the caller clears its pointer.
__attribute__((visibility("default"))) void DeleteRkDbObj2(rkdb::RkDbObject** db);
}

static_assert(std::is_same_v<decltype(&CreateRkDbObj2), rkdb::RkDbCreateFn>, "factory signature");
static_assert(std::is_same_v<decltype(&DeleteRkDbObj2), rkdb::RkDbDeleteFn>, "factory signature");

#endif  // EXTLIBS_RKDB_RK_DB_INTERFACE_H_
