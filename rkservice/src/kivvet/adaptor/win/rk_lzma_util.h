// Reads a 7z archive file whole into memory: the whole name of every file
// entry (UTF-8, with its folder part) to its bytes. libarchive does the
// format and the decoding, with the 7z format only; this class is the adaptor
// around it: the open file, the read and seek callbacks over that file, and
// the extraction loop. Used as a local: open, unpack, closed at scope end.
#ifndef RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_LZMA_UTIL_H_
#define RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_LZMA_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>

struct archive;

namespace rkservice {

using RkArchiveEntries = std::map<std::string, std::string>;

class RkLzmaUtil {
 public:
  // Result numbers of the 7z SDK the reader was first written over. Unpack
  // gives kOk or kErrorInputEof; the others name the cause in its log line.
  static constexpr int kOk = 0;
  static constexpr int kErrorData = 1;        // damaged archive (header or data)
  static constexpr int kErrorParam = 5;       // a seek with an unknown origin
  static constexpr int kErrorInputEof = 6;    // every failure of UnpackToMemory
  static constexpr int kErrorRead = 8;        // a read found the file ended, or failed
  static constexpr int kErrorFail = 11;       // the system refused a seek
  static constexpr int kErrorNoArchive = 17;  // not a 7z archive

  RkLzmaUtil() { Reset(); }
  ~RkLzmaUtil() { Close(); }
  RkLzmaUtil(const RkLzmaUtil&) = delete;
  RkLzmaUtil& operator=(const RkLzmaUtil&) = delete;

  // Starts without a file (does not close one).
  void Reset();
  // Closes a file opened before and opens path for reading: 0, or the
  // system's error number (ENOENT for a missing file, EISDIR for a folder).
  int Open(const std::filesystem::path& path);
  // Takes an archive held in memory and reads it through the same file
  // callbacks; for tests and fuzzing. 0, or the system's error number.
  int OpenBuffer(const std::string& bytes);
  // kOk when every entry was unpacked, else kErrorInputEof. Entries are added
  // as they are unpacked and stay on failure; a repeated name keeps the later
  // bytes.
  int UnpackToMemory(RkArchiveEntries& out);
  void Close();

 private:
  struct Stream;
  // libarchive's read and seek callbacks over the open file.
  static ssize_t StreamRead(struct archive* archive, void* stream, const void** buffer);
  static int64_t StreamSeek(struct archive* archive, void* stream, int64_t offset, int whence);
  static int FailureCode(struct archive* archive, const Stream& stream);

  int file_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_ADAPTOR_WIN_RK_LZMA_UTIL_H_
