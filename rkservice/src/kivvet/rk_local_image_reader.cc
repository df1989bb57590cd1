#include "kivvet/rk_local_image_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

namespace rkservice {
namespace {

// How far into an SVG file its root element is looked for.
constexpr size_t kSvgPrologue = 4096;

class ScopedFd {
 public:
  explicit ScopedFd(int fd) : fd_(fd) {}
  ~ScopedFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

bool IsXmlSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The prologue may hold an XML declaration, comments and a document type
// (with an internal subset); after them the root element must be <svg>.
bool IsSvg(std::string_view text) {
  text = text.substr(0, kSvgPrologue);
  if (StartsWith(text, "\xEF\xBB\xBF")) text.remove_prefix(3);
  for (;;) {
    while (!text.empty() && IsXmlSpace(text.front())) text.remove_prefix(1);
    std::string_view close;
    if (StartsWith(text, "<?")) {
      close = "?>";
    } else if (StartsWith(text, "<!--")) {
      close = "-->";
    } else if (StartsWith(text, "<!DOCTYPE")) {
      const size_t bracket = text.find('[');
      const size_t end = text.find('>');
      close = (bracket != std::string_view::npos && bracket < end) ? "]>" : ">";
    } else {
      break;
    }
    const size_t end = text.find(close);
    if (end == std::string_view::npos) return false;
    text.remove_prefix(end + close.size());
  }
  if (!StartsWith(text, "<svg") || text.size() < 5) return false;
  const char next = text[4];
  return IsXmlSpace(next) || next == '>' || next == '/';
}

}  // namespace

bool RkLocalImageReader::IsImage(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (StartsWith(text, std::string_view("\x89PNG\r\n\x1A\n", 8))) return true;
  if (StartsWith(text, "\xFF\xD8\xFF")) return true;
  if (StartsWith(text, "GIF87a") || StartsWith(text, "GIF89a")) return true;
  if (size >= 12 && StartsWith(text, "RIFF") && text.compare(8, 4, "WEBP") == 0) return true;
  if (size >= 18 && StartsWith(text, "BM")) {
    // Two letters alone are too weak: the info header size must be one of
    // the known ones.
    const uint32_t header = ReadLe32(data + 14);
    if (header == 12 || header == 40 || header == 52 || header == 56 || header == 64 || header == 108 ||
        header == 124) {
      return true;
    }
  }
  if (size >= 6 && StartsWith(text, std::string_view("\0\0\1\0", 4)) && (data[4] | data[5]) != 0) return true;
  return IsSvg(text);
}

RkLocalImageReader::Result RkLocalImageReader::Read(const std::string& path, std::vector<uint8_t>* bytes) {
  const Result result = ReadChecked(path, bytes);
  if (result != Result::kOk) bytes->clear();
  return result;
}

RkLocalImageReader::Result RkLocalImageReader::ReadChecked(const std::string& path, std::vector<uint8_t>* bytes) {
  bytes->clear();
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT || errno == ENOTDIR ? Result::kMissing : Result::kUnreadable;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Result::kUnreadable;
  if (!S_ISREG(st.st_mode)) return Result::kNotRegular;
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxBytes) return Result::kTooLarge;
  // The file may grow while it is read: one byte past the limit tells.
  bytes->resize(static_cast<size_t>(st.st_size) + 1);
  size_t got = 0;
  for (;;) {
    if (got == bytes->size()) {
      if (bytes->size() > kMaxBytes) return Result::kTooLarge;
      bytes->resize(std::min(kMaxBytes + 1, bytes->size() * 2));
    }
    const ssize_t n = ::read(fd.get(), bytes->data() + got, bytes->size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Result::kUnreadable;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes->resize(got);
  if (got == 0) return Result::kEmpty;
  return IsImage(bytes->data(), bytes->size()) ? Result::kOk : Result::kNotImage;
}

const char* RkLocalImageReader::Describe(Result result) {
  switch (result) {
    case Result::kOk:
      return "ok";
    case Result::kMissing:
      return "no such file";
    case Result::kUnreadable:
      return "can not be read";
    case Result::kNotRegular:
      return "not a regular file";
    case Result::kTooLarge:
      return "larger than 64 MiB";
    case Result::kEmpty:
      return "empty";
    case Result::kNotImage:
      return "not an image";
  }
  return "unknown";
}

}  // namespace rkservice
