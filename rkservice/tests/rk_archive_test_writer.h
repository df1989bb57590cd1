// Builds 7z archives for the tests with libarchive's writer.
#ifndef RKSERVICE_TESTS_RK_ARCHIVE_TEST_WRITER_H_
#define RKSERVICE_TESTS_RK_ARCHIVE_TEST_WRITER_H_

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/rk_platform.h"

namespace rktest {

struct ArchiveItem {
  std::string name;  // UTF-8
  std::string data;
  bool folder = false;
};

// The bytes of a 7z archive holding the items in order (libarchive's writer
// moves empty files to the end).
inline std::string Make7z(const std::vector<ArchiveItem>& items) {
  rkservice::platform::ScopedUtf8Locale utf8;
  std::string bytes;
  struct archive* writer = archive_write_new();
  archive_write_set_format_7zip(writer);
  // No padding after the archive: the tests cut and damage exact bytes.
  archive_write_set_bytes_in_last_block(writer, 1);
  auto append = [](struct archive*, void* out, const void* data, size_t size) -> la_ssize_t {
    static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
    return static_cast<la_ssize_t>(size);
  };
  archive_write_open2(writer, &bytes, nullptr, append, nullptr, nullptr);
  for (const ArchiveItem& item : items) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, item.name.c_str());
    archive_entry_set_filetype(entry, item.folder ? AE_IFDIR : AE_IFREG);
    archive_entry_set_perm(entry, item.folder ? 0755 : 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(item.data.size()));
    archive_write_header(writer, entry);
    if (!item.data.empty()) archive_write_data(writer, item.data.data(), item.data.size());
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return bytes;
}

inline void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace rktest

#endif  // RKSERVICE_TESTS_RK_ARCHIVE_TEST_WRITER_H_
