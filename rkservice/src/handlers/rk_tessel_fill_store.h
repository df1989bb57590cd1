// The form-fill data of one user: the identity text in a common store, the
// cards of each type in a store of their own (all three under the user's
// "TesselFill" folder), and one notification sender per card type that tells
// the browser when cards of that type changed.
#ifndef RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_STORE_H_
#define RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_STORE_H_

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

#include "rk_storage.h"

namespace rkservice {

class RkNotifySender;

// Card types as plain numbers; any other number is refused where a card
// store is chosen.
struct CardType {
  static constexpr int kAccount = 0;
  static constexpr int kSecret = 1;
};

// Texts are UTF-8. Requests of one user reach the object from several
// listener threads at once; each store serialises its own operations.
class RkTesselFillStore {
 public:
  RkTesselFillStore(const std::string& user_name, const std::filesystem::path& folder);
  ~RkTesselFillStore();
  RkTesselFillStore(const RkTesselFillStore&) = delete;
  RkTesselFillStore& operator=(const RkTesselFillStore&) = delete;

  // Opens the three stores (under one lock for the whole process) and makes
  // the two senders; false when a store cannot be opened, and then a later
  // call tries again. True at once when they are open.
  bool Init();
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  // Also hands the host to the senders, when Init has made them.
  void SetNotifyHost(const std::string& host);

  // "[]" when no identity is stored.
  std::string GetAuthInfo();
  bool SetAuthInfo(const std::string& text);
  // The card values of one type as a JSON array text, in key order; values
  // that are not exactly one JSON value are left out. False when the store
  // cannot be read.
  bool GetAllCards(int type, std::string* cards);
  // Both notify, and wait for the notification's answer, after a change.
  bool SetCard(int type, const std::string& key, const std::string& value);
  bool DeleteCard(int type, const std::string& key);
  void NotifyChanged(int type);

  // The sync document of one card type; "" on failure.
  std::string ExportSync(int type);
  // A document object with "data", or a bare array of items; false when it
  // has neither shape or the store could not be rewritten.
  bool ImportSync(int type, const std::string& document);
  // A bare array of items only.
  bool ImportSyncItems(int type, const std::string& document);

  std::string Encrypt(const std::string& password, const std::string& value) const;
  std::string Decrypt(const std::string& password, const std::string& text) const;

 private:
  // The card list of a type is built once and kept while its store's file
  // has not changed, whoever changed it: listing is the browser's most
  // frequent request.
  struct ListCache {
    bool valid = false;
    rkstorage::RkStorage::Version version;  // read before the list
    std::string list;
  };

  // Null for an unknown type (logged as such) or a store that is not open.
  std::shared_ptr<rkstorage::RkStorage> CardStore(int type) const;
  bool ReadAllCards(rkstorage::RkStorage& store, std::string* cards);

  std::string user_name_;
  std::filesystem::path folder_;
  // Written by SetNotifyHost, read by Init on whatever thread opens.
  std::mutex host_mutex_;
  std::string notify_host_;
  // The stores and senders below are set once, before open_, and are not
  // changed afterwards.
  std::atomic<bool> open_{false};
  std::shared_ptr<rkstorage::RkStorage> common_store_;
  std::shared_ptr<rkstorage::RkStorage> secret_store_;
  std::shared_ptr<rkstorage::RkStorage> account_store_;
  std::shared_ptr<RkNotifySender> account_sender_;
  std::shared_ptr<RkNotifySender> secret_sender_;
  std::mutex cache_mutex_;
  ListCache list_cache_[2];  // by card type
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_HANDLERS_RK_TESSEL_FILL_STORE_H_
