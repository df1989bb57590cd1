// Reads the image that a "file:///" source of a note names. The bytes are
// stored with the note and synced, and the read runs on a listener thread,
// so only a regular file of bounded size whose bytes are an image is taken:
// never a device, a FIFO, or a key file that happens to be named in a note.
#ifndef RKSERVICE_SRC_KIVVET_RK_LOCAL_IMAGE_READER_H_
#define RKSERVICE_SRC_KIVVET_RK_LOCAL_IMAGE_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rkservice {

class RkLocalImageReader {
 public:
  static constexpr size_t kMaxBytes = 64u << 20;

  enum class Result { kOk, kMissing, kUnreadable, kNotRegular, kTooLarge, kEmpty, kNotImage };

  // Opens without blocking (a FIFO opens at once), then checks the opened
  // file itself, so a swap after a path check cannot slip through.
  static Result Read(const std::string& path, std::vector<uint8_t>* bytes);

  // PNG, JPEG, GIF, WebP, BMP, ICO or SVG, judged by the bytes alone.
  static bool IsImage(const uint8_t* data, size_t size);

  static const char* Describe(Result result);

 private:
  static Result ReadChecked(const std::string& path, std::vector<uint8_t>* bytes);
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_LOCAL_IMAGE_READER_H_
