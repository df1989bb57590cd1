#include "kivvet/rk_content_helper.h"

#include <cpprest/base_uri.h>

#include <chrono>
#include <filesystem>
#include <string_view>
#include <utility>

#include "kivvet/rk_byte_vector_sink.h"
#include "kivvet/rk_image_source_scanner.h"
#include "kivvet/rk_kivvet_mgr.h"
#include "kivvet/rk_local_image_reader.h"
#include "kivvet/rk_resource_downloader.h"
#include "rk_logger.h"
#include "rk_service_work.h"
#include "rk_utils.h"

namespace rkservice {
namespace {

constexpr std::chrono::seconds kDownloadLimit{8};
constexpr int kMaxRedirects = 10;
// Longer source texts (a pasted data URI can be megabytes) are cut in logs.
constexpr size_t kLoggedSourceBytes = 512;

std::string ForLog(const std::string& text) {
  if (text.size() <= kLoggedSourceBytes) return text;
  return text.substr(0, kLoggedSourceBytes) + "...(" + std::to_string(text.size()) + " bytes)";
}

bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The source as written: after the first "=", inside double quotes only (a
// single quote stays part of it).
std::string SourceOf(const std::string& match) {
  std::string source = match.substr(match.find('=') + 1);
  const size_t open = source.find('"');
  if (open != std::string::npos) source = source.substr(open + 1);
  const size_t close = source.rfind('"');
  if (close != std::string::npos) source = source.substr(0, close);
  return source;
}

// The text after the last "." of the URL's path, up to its first character
// that is not a letter, digit or "_".
std::string UrlExtension(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos) return std::string();
  size_t end = dot + 1;
  while (end < path.size() && IsWordChar(path[end])) ++end;
  return path.substr(dot + 1, end - dot - 1);
}

// Every occurrence, left to right; the search goes on after each reference
// put in, so a reference that holds its source is not rewritten again.
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  size_t start = 0;
  for (size_t found; (found = text.find(from, start)) != std::string::npos; start = found + from.size()) {
    out.append(text, start, found - start);
    out += to;
  }
  out.append(text, start, std::string::npos);
  return out;
}

}  // namespace

const char RkContentHelper::kAccept[] = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";
const char RkContentHelper::kUserAgent[] =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Halvex/106.0.0.0 "
    "Safari/537.36";

RkContentHelper::RkContentHelper(RkKivvetMgr* mgr, std::string id, std::string html)
    : id_(std::move(id)), html_in_(std::move(html)), mgr_(mgr) {}

RkContentHelper::~RkContentHelper() { RkLogTrace("~RkContentHelper"); }

RkHttpClient::Options RkContentHelper::DownloadOptions() {
  RkHttpClient::Options options;
  options.connect_timeout = kDownloadLimit;
  options.total_timeout = kDownloadLimit;
  options.max_body_bytes = RkLocalImageReader::kMaxBytes;
  options.body_budget = &RkResourceDownloader::ProcessBodyBudget();
  options.max_redirects = kMaxRedirects;
  options.refuse_special_destinations = true;
  // Made on the thread of the save's route, which runs its service's work.
  options.stop_with = RkServiceWork::Current();
  return options;
}

bool RkContentHelper::Process() {
  html_out_ = html_in_;
  if (html_in_.find("<img") != std::string::npos || html_in_.find("<IMG") != std::string::npos) {
    ParseContent();
    return true;
  }
  return ProcessWithoutImages();
}

bool RkContentHelper::ProcessWithoutImages() {
  if (mgr_ == nullptr) return false;
  return mgr_->ClearNoteResources(Utf8ToWide(id_));
}

bool RkContentHelper::ParseContent() {
  RkResourceDownloader downloader(DownloadOptions());
  // The matches point into html_in_, which no step here changes.
  for (const RkImageTag& tag : RkImageSourceScanner::Scan(html_in_)) {
    for (std::string_view match : tag.sources) HandleSource(std::string(match), downloader);
  }
  downloader.Wait();
  return true;
}

std::string RkContentHelper::GetContent() const {
  std::lock_guard<std::mutex> lock(content_lock_);
  return html_out_;
}

bool RkContentHelper::HasResources() const {
  std::lock_guard<std::mutex> lock(content_lock_);
  return !resource_refs_.empty();
}

void RkContentHelper::HandleSource(const std::string& match, RkResourceDownloader& downloader) {
  const std::string source = SourceOf(match);
  const std::string trimmed = source.substr(std::min(source.find_first_not_of(' '), source.size()));
  if (trimmed.size() >= 9 && trimmed.compare(0, 8, "file:///") == 0) {
    if (trimmed.find("ResCache") != std::string::npos) {
      {
        std::lock_guard<std::mutex> lock(content_lock_);
        resource_refs_.push_back(source);
      }
      RkLogTrace("resource:{0}", ForLog(trimmed));
      return;
    }
    // "file:///home/a.png" names "/home/a.png": the third "/" is the root.
    ReadLocalFile(source, trimmed.substr(7));
    return;
  }
  try {
    const web::uri uri(trimmed);
    const std::string scheme = Lower(uri.scheme());
    if (scheme != "http" && scheme != "https") {
      RkLogError("not a valid resource:{0} : {1}", ForLog(source), scheme);
      return;
    }
  } catch (const web::uri_exception& e) {
    RkLogError("not a valid resource:{0} : {1}", ForLog(source), e.what());
    return;
  }
  std::string extension;
  try {
    extension = UrlExtension(web::uri(source).path());
  } catch (const web::uri_exception& e) {
    // Only a source with leading blanks gets here.
    RkLogError("get resource error:{0}", e.what());
    return;
  }
  Download(source, extension, downloader);
}

void RkContentHelper::ReadLocalFile(const std::string& source, const std::string& path) {
  std::vector<uint8_t> bytes;
  const RkLocalImageReader::Result result = RkLocalImageReader::Read(path, &bytes);
  if (result != RkLocalImageReader::Result::kOk) {
    RkLogWarn("local resource {0} not taken: {1}", ForLog(path), RkLocalImageReader::Describe(result));
    return;
  }
  const std::string extension = std::filesystem::path(path).extension().string();
  SaveResource(source, bytes.data(), static_cast<int>(bytes.size()), extension);
}

void RkContentHelper::Download(const std::string& source, const std::string& extension,
                               RkResourceDownloader& downloader) {
  RkHttpRequest request;
  request.url = source;
  request.headers = {{"Accept", kAccept}, {"User-Agent", kUserAgent}};
  const bool started = downloader.Add(
      std::move(request), [this, source, extension](bool answered, const RkHttpResponse& response,
                                                    const RkHttpError& error) {
        if (!answered) {
          RkLogError("get resource error:{0}", error.message);
        } else if (response.status == 200) {
          OnResourceBody(source, response.body, extension);
        } else {
          RkLogInfo("download resource {0}, error {1}", ForLog(source), response.status);
        }
      });
  if (!started) RkLogError("get resource error:{0}", "can not start a transfer");
}

void RkContentHelper::OnResourceBody(const std::string& source, const std::string& body,
                                     const std::string& extension) {
  SaveResource(source, body.data(), static_cast<int>(body.size()), extension);
}

bool RkContentHelper::SaveResource(const std::string& source, const void* data, int size,
                                   const std::string& extension) {
  if (data == nullptr || size <= 0) return false;
  const std::string name = Md5HexUpper(std::string(static_cast<const char*>(data), static_cast<size_t>(size)));
  const std::string bare = !extension.empty() && extension[0] == '.' ? extension.substr(1) : extension;
  if (mgr_ == nullptr) {
    RkLogError("save resource to db failed. mgr_ is null");
    return false;
  }
  std::vector<uint8_t> reference;
  RkByteVectorSink sink(&reference);
  if (!mgr_->SaveResource(Utf8ToWide(name), static_cast<const uint8_t*>(data), size, kResourceKind,
                          Utf8ToWide(bare), &sink)) {
    RkLogError("save resource to db failed. resource is : {0}", ForLog(source));
    return false;
  }
  const std::string ref = sink.Text();
  std::lock_guard<std::mutex> lock(content_lock_);
  html_out_ = ReplaceAll(html_out_, source, ref);
  resource_refs_.push_back(ref);
  return true;
}

}  // namespace rkservice
