// Packs one language's default notes into the 7z archive the service reads:
//
//   rk_notes_pack <source folder> <archive>
//
// The source folder holds nodes.json ({"nodes":[...]}, the "metas" of
// Default.dat), Notes/<uuid>.html (the HTML template of each note whose
// content ships, with one "%s" for its image) and images.txt (one line per
// such note: its uuid and a colour as RRGGBB; the tool draws the PNG).
// Default.dat gets the metas on one line with "#" and ";" escaped, since the
// service's INI reader cuts a value at either.
#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kImageWidth = 96;
constexpr int kImageHeight = 64;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("can not read " + path.string());
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The metas on one line; "#" and ";" only occur inside JSON strings, where
// their \u escapes read the same.
std::string DefaultDat(const nlohmann::json& metas) {
  std::string line;
  for (char c : metas.dump(-1, ' ', false)) {
    if (c == '#') {
      line += "\\u0023";
    } else if (c == ';') {
      line += "\\u003b";
    } else {
      line += c;
    }
  }
  return "\xEF\xBB\xBF[main]\r\nmetas=" + line + "\r\n";
}

void PutChunk(std::string& png, const char* type, const std::string& data) {
  auto put32 = [&png](uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) png += static_cast<char>((v >> shift) & 0xFF);
  };
  put32(static_cast<uint32_t>(data.size()));
  const std::string body = std::string(type, 4) + data;
  png += body;
  put32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// An RGB picture that fades from the colour at the top to white at the bottom.
std::string DrawPng(uint32_t rgb) {
  std::string pixels;
  for (int y = 0; y < kImageHeight; ++y) {
    pixels += '\0';  // no filter
    for (int x = 0; x < kImageWidth; ++x) {
      for (int shift = 16; shift >= 0; shift -= 8) {
        const int c = static_cast<int>((rgb >> shift) & 0xFF);
        pixels += static_cast<char>(c + (255 - c) * y / (kImageHeight - 1));
      }
    }
  }
  uLongf size = compressBound(static_cast<uLong>(pixels.size()));
  std::string packed(size, '\0');
  if (compress2(reinterpret_cast<Bytef*>(packed.data()), &size, reinterpret_cast<const Bytef*>(pixels.data()),
                static_cast<uLong>(pixels.size()), 9) != Z_OK) {
    throw std::runtime_error("can not compress an image");
  }
  packed.resize(size);

  std::string header;
  for (uint32_t v : {static_cast<uint32_t>(kImageWidth), static_cast<uint32_t>(kImageHeight)}) {
    for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>((v >> shift) & 0xFF);
  }
  header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB, deflate, no filter, no interlace
  std::string png("\x89PNG\r\n\x1a\n", 8);
  PutChunk(png, "IHDR", header);
  PutChunk(png, "IDAT", packed);
  PutChunk(png, "IEND", "");
  return png;
}

std::map<std::string, uint32_t> ReadImages(const fs::path& path) {
  std::map<std::string, uint32_t> images;
  std::istringstream lines(ReadFile(path));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string uuid, colour;
    if (!(fields >> uuid >> colour) || colour.size() != 6) throw std::runtime_error("bad line in images.txt: " + line);
    images[uuid] = static_cast<uint32_t>(std::stoul(colour, nullptr, 16));
  }
  return images;
}

std::map<std::string, std::string> Collect(const fs::path& source) {
  const nlohmann::json metas = nlohmann::json::parse(ReadFile(source / "nodes.json"));
  if (!metas.is_object() || !metas.contains("nodes") || !metas["nodes"].is_array()) {
    throw std::runtime_error("nodes.json is not {\"nodes\":[...]}");
  }
  const std::map<std::string, uint32_t> images = ReadImages(source / "images.txt");
  std::map<std::string, std::string> entries;
  entries["Default.dat"] = DefaultDat(metas);
  for (const nlohmann::json& node : metas["nodes"]) {
    if (node.value("ft", 0) != 1 || node.value("et", 0) != 0) continue;
    const std::string uuid = node.at("uuid").get<std::string>();
    const std::string html = ReadFile(source / "Notes" / (uuid + ".html"));
    if (html.find("%s") == std::string::npos) throw std::runtime_error("no %s in the template of " + uuid);
    auto image = images.find(uuid);
    if (image == images.end()) throw std::runtime_error("no image for " + uuid);
    entries["Notes/" + uuid] = html;
    entries["Notes/" + uuid + ".png"] = DrawPng(image->second);
  }
  return entries;
}

void Write(const fs::path& archive, const std::map<std::string, std::string>& entries) {
  struct archive* writer = archive_write_new();
  bool ok = archive_write_set_format_7zip(writer) == ARCHIVE_OK &&
            archive_write_open_filename(writer, archive.c_str()) == ARCHIVE_OK;
  for (auto it = entries.begin(); ok && it != entries.end(); ++it) {
    struct archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, it->first.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(it->second.size()));
    ok = archive_write_header(writer, entry) == ARCHIVE_OK &&
         archive_write_data(writer, it->second.data(), it->second.size()) ==
             static_cast<la_ssize_t>(it->second.size());
    archive_entry_free(entry);
  }
  ok = archive_write_close(writer) == ARCHIVE_OK && ok;
  const std::string error = archive_error_string(writer) != nullptr ? archive_error_string(writer) : "";
  archive_write_free(writer);
  if (!ok) throw std::runtime_error("can not write " + archive.string() + ": " + error);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: rk_notes_pack <source folder> <archive>\n");
    return 2;
  }
  // libarchive converts entry names through the locale.
  std::setlocale(LC_ALL, "C.UTF-8");
  const fs::path archive = argv[2];
  const fs::path partial = archive.string() + ".partial";
  try {
    fs::create_directories(archive.parent_path());
    Write(partial, Collect(argv[1]));
    fs::rename(partial, archive);
  } catch (const std::exception& e) {
    std::error_code ec;
    fs::remove(partial, ec);
    std::fprintf(stderr, "rk_notes_pack: %s\n", e.what());
    return 1;
  }
  return 0;
}
