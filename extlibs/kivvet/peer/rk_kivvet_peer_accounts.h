// What the sync peer keeps: per uid, the account's nodes with the change
// number of their last version, and the notes' content. Answers the
// engine's requests (rk_kivvet_protocol.h).
#ifndef EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_ACCOUNTS_H_
#define EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_ACCOUNTS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "rk_kivvet_peer_server.h"
#include "rk_kivvet_protocol.h"

namespace rkkivvet {

class RkKivvetPeerAccounts {
 public:
  // An empty key takes any key.
  explicit RkKivvetPeerAccounts(std::string key) : key_(std::move(key)) {}

  RkPeerReply Handle(const RkPeerRequest& request);

 private:
  struct Content {
    std::string html;
    int32_t ver = 0;
  };
  struct Account {
    int64_t usn = 0;
    std::map<std::string, protocol::NodeRecord> nodes;
    std::map<std::string, Content> contents;
  };

  RkPeerReply Pull(Account& account, const nlohmann::json& body);
  RkPeerReply Push(Account& account, const nlohmann::json& body);
  RkPeerReply ContentOf(Account& account, const std::string& query);

  const std::string key_;
  std::mutex mutex_;
  std::map<std::string, Account> accounts_;
};

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_PEER_RK_KIVVET_PEER_ACCOUNTS_H_
