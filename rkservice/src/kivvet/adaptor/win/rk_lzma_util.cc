#include "kivvet/adaptor/win/rk_lzma_util.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <vector>

#include "platform/rk_platform.h"
#include "rk_logger.h"

namespace rkservice {
namespace {

constexpr size_t kReadBufferBytes = 16384;

struct ArchiveFree {
  void operator()(struct archive* archive) const { archive_read_free(archive); }
};

}  // namespace

struct RkLzmaUtil::Stream {
  int file = -1;
  std::vector<char> buffer;
  int error = kOk;      // set by a callback that failed
  bool at_end = false;  // a read found nothing left
};

void RkLzmaUtil::Reset() { file_ = -1; }

int RkLzmaUtil::Open(const std::filesystem::path& path) {
  Close();
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return errno;
  struct stat info;
  if (::fstat(file, &info) != 0 || S_ISDIR(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
    ::close(file);
    return error;
  }
  file_ = file;
  return 0;
}

int RkLzmaUtil::OpenBuffer(const std::string& bytes) {
  Close();
  const int file = ::memfd_create("rk_archive", MFD_CLOEXEC);
  if (file < 0) return errno;
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(file, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      ::close(file);
      return error;
    }
    done += static_cast<size_t>(n);
  }
  file_ = file;
  return 0;
}

void RkLzmaUtil::Close() {
  if (file_ >= 0) ::close(file_);
  file_ = -1;
}

int RkLzmaUtil::UnpackToMemory(RkArchiveEntries& out) {
  if (file_ < 0) return kErrorInputEof;
  Stream stream;
  stream.file = file_;
  try {
    stream.buffer.resize(kReadBufferBytes);
  } catch (const std::bad_alloc&) {
    return kErrorInputEof;
  }
  if (::lseek(file_, 0, SEEK_SET) != 0) return kErrorInputEof;

  // Entry names come out of libarchive in the thread's locale; they must be
  // UTF-8 whatever locale the host runs in, or non-ASCII names are lost.
  platform::ScopedUtf8Locale utf8;
  std::unique_ptr<struct archive, ArchiveFree> archive(archive_read_new());
  if (!archive) return kErrorInputEof;
  archive_read_support_format_7zip(archive.get());
  archive_read_set_read_callback(archive.get(), &RkLzmaUtil::StreamRead);
  archive_read_set_seek_callback(archive.get(), &RkLzmaUtil::StreamSeek);
  archive_read_set_callback_data(archive.get(), &stream);

  // The archive's header is read by the open and the first entry's header;
  // what fails after that is an entry's extraction.
  bool header_read = false;
  if (archive_read_open1(archive.get()) == ARCHIVE_OK) {
    std::vector<char> chunk(kReadBufferBytes);
    for (;;) {
      struct archive_entry* entry = nullptr;
      const int r = archive_read_next_header(archive.get(), &entry);
      if (r == ARCHIVE_EOF) return kOk;
      if (r < ARCHIVE_WARN) break;
      header_read = true;

      const char* name = archive_entry_pathname_utf8(entry);
      if (name == nullptr || *name == '\0') {
        RkLogError("Couldn't get file name");
        return kErrorInputEof;
      }
      if (archive_entry_filetype(entry) == AE_IFDIR) continue;

      std::string data;
      ssize_t n;
      while ((n = archive_read_data(archive.get(), chunk.data(), chunk.size())) > 0) data.append(chunk.data(), n);
      if (n < 0) break;
      out[name] = std::move(data);
    }
  }
  if (header_read) {
    RkLogError("Error returned by SzExtract: {0}", FailureCode(archive.get(), stream));
  } else {
    RkLogError("Error returned by SzArchiveOpen: {0}", FailureCode(archive.get(), stream));
  }
  return kErrorInputEof;
}

ssize_t RkLzmaUtil::StreamRead(struct archive* archive, void* client, const void** buffer) {
  Stream& stream = *static_cast<Stream*>(client);
  size_t total = 0;
  while (total < stream.buffer.size()) {
    const ssize_t n = ::read(stream.file, stream.buffer.data() + total, stream.buffer.size() - total);
    if (n > 0) {
      total += static_cast<size_t>(n);
    } else if (n == 0) {
      // Asked for more than the file holds: a truncated archive.
      stream.at_end = total == 0;
      break;
    } else if (errno != EINTR) {
      if (total > 0) break;  // the next call reports it
      stream.error = kErrorRead;
      archive_set_error(archive, errno, "read failed");
      return ARCHIVE_FATAL;
    }
  }
  *buffer = stream.buffer.data();
  return static_cast<ssize_t>(total);
}

int64_t RkLzmaUtil::StreamSeek(struct archive* archive, void* client, int64_t offset, int whence) {
  Stream& stream = *static_cast<Stream*>(client);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    stream.error = kErrorParam;
    archive_set_error(archive, EINVAL, "seek origin %d", whence);
    return ARCHIVE_FATAL;
  }
  const off_t position = ::lseek(stream.file, offset, whence);
  if (position < 0) {
    stream.error = kErrorFail;
    archive_set_error(archive, errno, "seek failed");
    return ARCHIVE_FATAL;
  }
  return position;
}

int RkLzmaUtil::FailureCode(struct archive* archive, const Stream& stream) {
  if (stream.error != kOk) return stream.error;
  if (archive_format(archive) == 0) return kErrorNoArchive;
  return stream.at_end ? kErrorRead : kErrorData;
}

}  // namespace rkservice
