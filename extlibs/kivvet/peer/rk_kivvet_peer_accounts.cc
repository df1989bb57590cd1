#include "rk_kivvet_peer_accounts.h"

#include <algorithm>
#include <vector>

#include "rk_kivvet_text.h"

namespace rkkivvet {
namespace {

RkPeerReply Status(int status) {
  RkPeerReply reply;
  reply.status = status;
  reply.body = "{}";
  return reply;
}

RkPeerReply Json(const nlohmann::json& value) {
  RkPeerReply reply;
  reply.body = protocol::Dump(value);
  return reply;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The value of `name` in a query of name=value pairs; ids need no decoding.
std::string QueryValue(const std::string& query, const std::string& name) {
  size_t start = 0;
  while (start <= query.size()) {
    size_t end = query.find('&', start);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(start, end - start);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    start = end + 1;
  }
  return {};
}

}  // namespace

RkPeerReply RkKivvetPeerAccounts::Handle(const RkPeerRequest& request) {
  const std::string uid = request.Header(protocol::kUidHeader);
  if (!key_.empty() && request.Header(protocol::kKeyHeader) != key_) return Status(401);
  if (uid.empty()) return Status(400);
  const bool pull = EndsWith(request.path, protocol::kPullPath);
  const bool push = EndsWith(request.path, protocol::kPushPath);
  nlohmann::json body;
  if (request.method == "POST" && (pull || push)) {
    body = nlohmann::json::parse(request.body, nullptr, false);
    if (!body.is_object()) return Status(400);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Account& account = accounts_[uid];
  if (request.method == "POST" && pull) return Pull(account, body);
  if (request.method == "POST" && push) return Push(account, body);
  if (request.method == "GET" && EndsWith(request.path, protocol::kContentPath)) {
    return ContentOf(account, request.query);
  }
  return Status(404);
}

RkPeerReply RkKivvetPeerAccounts::Pull(Account& account, const nlohmann::json& body) {
  const auto since_value = body.find("since");
  int64_t since = 0;
  if (since_value != body.end()) {
    if (!since_value->is_number_integer()) return Status(400);
    since = since_value->get<int64_t>();
  }
  std::vector<const protocol::NodeRecord*> changed;
  for (const auto& entry : account.nodes) {
    if (entry.second.usn > since) changed.push_back(&entry.second);
  }
  std::sort(changed.begin(), changed.end(), [](const auto* a, const auto* b) { return a->usn < b->usn; });
  nlohmann::json nodes = nlohmann::json::array();
  for (const protocol::NodeRecord* record : changed) nodes.push_back(protocol::ToJson(*record));
  return Json({{"usn", account.usn}, {"nodes", std::move(nodes)}});
}

RkPeerReply RkKivvetPeerAccounts::Push(Account& account, const nlohmann::json& body) {
  const auto nodes = body.find("nodes");
  if (nodes == body.end() || !nodes->is_array()) return Status(400);
  std::vector<protocol::NodeRecord> records(nodes->size());
  for (size_t i = 0; i < records.size(); ++i) {
    if (!protocol::FromJson((*nodes)[i], &records[i])) return Status(400);
  }
  nlohmann::json results = nlohmann::json::array();
  for (protocol::NodeRecord& record : records) {
    const auto existing = account.nodes.find(record.id);
    // Changed here since the version the change was made on.
    if (existing != account.nodes.end() && existing->second.usn != record.base) {
      results.push_back({{"id", record.id}, {"conflict", true}});
      continue;
    }
    record.usn = ++account.usn;
    if (record.with_content) {
      account.contents[record.id] = {std::move(record.content), record.ver};
      record.has_content = true;
    } else {
      record.has_content = existing != account.nodes.end() && existing->second.has_content;
    }
    record.with_content = false;
    record.content.clear();
    record.base = 0;
    results.push_back({{"id", record.id}, {"usn", record.usn}});
    account.nodes[record.id] = std::move(record);
  }
  return Json({{"usn", account.usn}, {"results", std::move(results)}});
}

RkPeerReply RkKivvetPeerAccounts::ContentOf(Account& account, const std::string& query) {
  RkGuid id;
  if (!TextToGuid(QueryValue(query, "id"), &id)) return Status(400);
  const auto found = account.contents.find(GuidToText(id));
  if (found == account.contents.end()) return Status(404);
  RkPeerReply reply;
  reply.content_type = "text/html; charset=utf-8";
  reply.headers.emplace_back(protocol::kVersionHeader, std::to_string(found->second.ver));
  reply.body = found->second.html;
  return reply;
}

}  // namespace rkkivvet
