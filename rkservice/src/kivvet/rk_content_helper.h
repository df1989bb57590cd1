// Brings the images that a note's HTML references into the notes store for
// one save: sources already in the store's cache stay, local "file:///"
// images are read, http and https images are downloaded (all at once, driven
// by the thread of the save, see RkResourceDownloader), each resource is
// stored under the MD5 of its bytes and its source rewritten to the
// reference the store gives back. A resource that cannot be had is logged
// and its source stays.
#ifndef RKSERVICE_SRC_KIVVET_RK_CONTENT_HELPER_H_
#define RKSERVICE_SRC_KIVVET_RK_CONTENT_HELPER_H_

#include <mutex>
#include <string>
#include <vector>

#include "rk_http_client.h"

namespace rkservice {

class RkKivvetMgr;
class RkResourceDownloader;

class RkContentHelper {
 public:
  // The two headers every image request carries.
  static const char kAccept[];
  static const char kUserAgent[];
  // The kind the store files a note's resources under.
  static constexpr int kResourceKind = 10;

  // mgr may be null (nothing can then be stored); it must outlive Process.
  RkContentHelper(RkKivvetMgr* mgr, std::string id, std::string html);
  ~RkContentHelper();

  RkContentHelper(const RkContentHelper&) = delete;
  RkContentHelper& operator=(const RkContentHelper&) = delete;

  // HTML holding "<img" or "<IMG": every image source handled, true whatever
  // became of them. Otherwise the note's stored resources are cleared and
  // that result returned. Returns after every download it started.
  bool Process();
  bool ProcessWithoutImages();
  bool ParseContent();

  // The rewritten HTML; read after Process.
  std::string GetContent() const;
  // Whether any source points into the store: cached ones kept, or new ones.
  bool HasResources() const;

  // Stores one resource and rewrites every occurrence of its source.
  bool SaveResource(const std::string& source, const void* data, int size, const std::string& extension);

  // Options of every image download: 8 seconds each, a bounded body counted
  // against the process's download budget, at most 10 redirects, no special
  // destinations.
  static RkHttpClient::Options DownloadOptions();

 private:
  void HandleSource(const std::string& match, RkResourceDownloader& downloader);
  void ReadLocalFile(const std::string& source, const std::string& path);
  void Download(const std::string& source, const std::string& extension, RkResourceDownloader& downloader);
  void OnResourceBody(const std::string& source, const std::string& body, const std::string& extension);

  const std::string id_;
  const std::string html_in_;
  std::string html_out_;
  std::vector<std::string> resource_refs_;
  // Guards html_out_ and resource_refs_, which the save's thread writes and
  // callers of the accessors may read.
  mutable std::mutex content_lock_;
  RkKivvetMgr* const mgr_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_KIVVET_RK_CONTENT_HELPER_H_
