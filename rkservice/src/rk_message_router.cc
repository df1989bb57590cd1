#include "rk_message_router.h"

#include <cpprest/uri.h>
#include <pplx/threadpool.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <map>
#include <set>
#include <vector>

#include "platform/rk_platform.h"
#include "platform/rk_work_pool.h"
#include "rk_handler_registry.h"
#include "rk_logger.h"
#include "rk_request_body_reader.h"
#include "rk_rest_handler.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::methods;
using web::http::status_codes;
using web::http::experimental::listener::http_listener;

// Bodies above this size are refused unread.
constexpr uint64_t kMaxRequestBody = 64ull << 20;

// Listener threads of cpprestsdk's shared pool, chosen by measurement on 8
// cores (bench/http): 4 and 8 serve alike, 16 and up lose throughput, the
// default of 40 loses 4-10x. These few threads accept, read bodies and write
// replies for every request, so no route may wait on them for anything
// outside the service: such routes run on the work pool (RkWorkPool), which
// grows while its work waits.
constexpr size_t kListenerThreads = 8;

// One open listener per host and port in this process: cpprestsdk shares an
// acceptor between listeners of one endpoint, and a second open on it would
// tear down the first.
std::mutex g_endpoints_mutex;
std::map<std::string, RkMessageRouter*> g_open_endpoints;

bool ClaimEndpoint(const std::string& endpoint, RkMessageRouter* router) {
  std::lock_guard<std::mutex> lock(g_endpoints_mutex);
  return g_open_endpoints.emplace(endpoint, router).second;
}

void ReleaseEndpoint(const std::string& endpoint) {
  std::lock_guard<std::mutex> lock(g_endpoints_mutex);
  g_open_endpoints.erase(endpoint);
}

// Closes the listeners still open when the process exits. It is made after
// the first listener has opened, that is after cpprestsdk's pool and server
// state, so it runs before they are torn down at exit: closing a listener
// needs them, and requests must not run into state that is already gone.
struct OpenListenersAtExit {
  ~OpenListenersAtExit() {
    std::vector<RkMessageRouter*> routers;
    {
      std::lock_guard<std::mutex> lock(g_endpoints_mutex);
      for (const auto& open : g_open_endpoints) routers.push_back(open.second);
    }
    for (RkMessageRouter* router : routers) router->Stop();
  }
};

void SetListenerThreadsOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    try {
      crossplat::threadpool::initialize_with_threads(kListenerThreads);
    } catch (const std::exception&) {
      // The host already set the pool up; its size stands.
    }
  });
}

void CloseListenersAtExit() { static OpenListenersAtExit at_exit; }

// The address the listener binds: the reported "*" means every IPv4 address.
std::string BindUri(const std::string& address) {
  const std::string wildcard = "http://*:";
  if (address.compare(0, wildcard.size(), wildcard) == 0) return "http://0.0.0.0:" + address.substr(wildcard.size());
  return address;
}

// A canonical "host:port" of a listen address, so that "08080" and "8080" meet.
std::string EndpointKey(const web::uri& uri) { return uri.host() + ":" + std::to_string(uri.port()); }

// Runs one step of a request, logging whatever escapes it. Called straight
// from the listener (rethrow), the listener then answers with a bare 500;
// anywhere else the same bare 500 is sent here, so no request stays
// unanswered.
template <typename Step>
void RunLogged(http_request& request, bool rethrow, Step step) {
  try {
    step();
    return;
  } catch (const std::exception& e) {
    RkLogError("request {0} {1} failed: {2}", request.method(), request.request_uri().to_string(), e.what());
    if (rethrow) throw;
  } catch (...) {
    RkLogError("request {0} {1} failed: {2}", request.method(), request.request_uri().to_string(),
               "unknown exception");
    if (rethrow) throw;
  }
  try {
    request.reply(status_codes::InternalError);
  } catch (...) {
    // Already answered, or the connection is gone.
  }
}

}  // namespace

std::string BuildListenUri(const RkServiceInfo& info) {
  std::string address = "http://";
  if (info.local_only) {
    const platform::OsVersion version = platform::GetOsVersion();
    char text[128];
    std::snprintf(text, sizeof(text), "Windows version is:%lX.%lX.%lX", version.major, version.minor, version.build);
    platform::DebugOutput(text);
    address += "localhost:";
  } else {
    address += "*:";
  }
  address += info.port;
  RkLogInfo("{0}", "init RkService:" + info.name + " at host:" + address);
  return address;
}

bool IsSafeUserName(const std::string& user) {
  if (user.empty() || user == "." || user == "..") return false;
  // Names the root already uses: the full-logging marker (a user of that
  // name would turn full logging on at the next start) and the log folder.
  if (user == "rklog.a" || user == "Log Files") return false;
  for (unsigned char c : user) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// Holds the router, so that the last request to end may also be the last
// holder: the count drops before the router can go.
class RkMessageRouter::InFlight {
 public:
  explicit InFlight(std::shared_ptr<RkMessageRouter> router) : router_(std::move(router)) {
    std::lock_guard<std::mutex> lock(router_->in_flight_mutex_);
    ++router_->in_flight_;
  }
  ~InFlight() {
    std::lock_guard<std::mutex> lock(router_->in_flight_mutex_);
    if (--router_->in_flight_ == 0) router_->idle_.notify_all();
  }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::shared_ptr<RkMessageRouter> router_;
};

RkMessageRouter::RkMessageRouter(RkServiceInfo info)
    : registry_(new RkHandlerRegistry(info)), info_(std::move(info)) {}

RkMessageRouter::~RkMessageRouter() {
  Stop();
  delete registry_;
  if (listener_ && !endpoint_.empty()) ReleaseEndpoint(endpoint_);
  listener_.reset();
}

bool RkMessageRouter::Start() {
  RkLogInfo("{0}", "starting service:" + info_.name);
  if (running_) return true;
  try {
    if (!listener_) {
      SetListenerThreadsOnce();
      address_ = BuildListenUri(info_);
      auto listener = std::make_unique<http_listener>(web::uri(BindUri(address_)));
      auto self = shared_from_this();
      const web::http::method bound[] = {methods::GET,  methods::POST,    methods::PUT,    methods::DEL,
                                         methods::HEAD, methods::OPTIONS, methods::CONNECT};
      for (const auto& method : bound) {
        listener->support(method, std::bind(&RkMessageRouter::HandleRequest, self, std::placeholders::_1));
      }
      listener_ = std::move(listener);
    }
    // The resolver would wrap 70000 to 4464 and port 0 to a random one: the
    // address the service reports must be the one it serves.
    const int port = listener_->uri().port();
    if (port < 1 || port > 65535) {
      throw web::http::http_exception(std::make_error_code(std::errc::invalid_argument).value(),
                                      "invalid port: " + info_.port);
    }
    const std::string endpoint = EndpointKey(listener_->uri());
    if (!ClaimEndpoint(endpoint, this)) {
      throw web::http::http_exception(std::make_error_code(std::errc::address_in_use).value(),
                                      "address already served in this process: " + endpoint);
    }
    try {
      listener_->open().wait();
    } catch (...) {
      ReleaseEndpoint(endpoint);
      throw;
    }
    // Made before the exit-time close, so that it is torn down after it: the
    // close waits for routes that may still be on the pool.
    platform::RkWorkPool::Shared();
    CloseListenersAtExit();
    endpoint_ = endpoint;
    closing_ = false;
    running_ = true;
  } catch (const web::http::http_exception& e) {
    std::cout << info_.name << " can not start for:" << e.error_code().value() << ", " << e.what() << std::endl;
    RkLogError("{0} can not start for:{1}", info_.name, e.what());
    return false;
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    RkLogError("{0} can not start for:{1}", info_.name, e.what());
    return false;
  }
  RkLogInfo("{0} started at {1}", info_.name, listener_->uri().to_string());
  return running_;
}

void RkMessageRouter::Stop() {
  if (!running_) return;
  closing_ = true;
  try {
    listener_->close().wait();
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    // Still listening: bodies go on to their routes.
    closing_ = false;
    return;
  }
  // The listener is done with its connections, but a route may still run:
  // a notification after its reply, a request whose body came in as the
  // listener closed. Its handlers, and at exit the process's own state,
  // must outlive it.
  WaitIdle();
  ReleaseEndpoint(endpoint_);
  endpoint_.clear();
  listener_.reset();
  running_ = false;
}

void RkMessageRouter::WaitIdle() {
  std::unique_lock<std::mutex> lock(in_flight_mutex_);
  idle_.wait(lock, [this] { return in_flight_ == 0; });
}

RkServiceInfo RkMessageRouter::GetServiceInfo() const { return info_; }

std::string RkMessageRouter::GetAddress() const {
  if (!running_) return {};
  std::string address = address_;
  if (!address.empty() && address.back() == '/') address.pop_back();
  return address;
}

pplx::task<void> RkMessageRouter::Reply(http_request& request, web::http::status_code status,
                                        utility::string_t text) {
  return request.reply(MakeRkResponse(status, std::move(text)));
}

void RkMessageRouter::HandleRequest(http_request request) {
  const web::http::http_headers& headers = request.headers();
  if (headers.content_length() > kMaxRequestBody) {
    RkLogWarn("request body too large: {0} bytes for {1}", headers.content_length(),
              request.request_uri().to_string());
    Reply(request, status_codes::RequestEntityTooLarge, "{}");
    // Closing the read side makes the listener drain the body without keeping it.
    request.body().streambuf().close(std::ios_base::in);
    return;
  }
  // The listener calls us once the headers are in; its own threads then read
  // the body. A route that waited for the body here would hold one of those
  // threads, and a few slow or concurrent bodies would leave none to read any:
  // the whole service would hang. So a request is routed once its body is
  // in, and the routes' own reads return at once. The count's router
  // reference keeps the handlers alive until then. (Requests routed here and
  // now need no count: the listener's close waits for this call.)
  if (headers.has(web::http::header_names::transfer_encoding)) {
    // No length announced: the limit must hold as the bytes come in.
    auto in_flight = std::make_shared<InFlight>(shared_from_this());
    RkRequestBodyReader::Read(request, kMaxRequestBody,
                              [this, in_flight](RkRequestBodyReader::Result result, http_request& read) mutable {
                                OnBodyRead(result, read);
                                in_flight.reset();
                              });
    return;
  }
  if (headers.content_length() > 0) {
    auto in_flight = std::make_shared<InFlight>(shared_from_this());
    request.content_ready().then([this, in_flight, request](pplx::task<http_request> ready) mutable {
      try {
        ready.wait();
      } catch (...) {
        // A body that broke off fails again in the route's own read.
      }
      RouteArrived(request);
      // The route has ended; the closure itself may be freed later.
      in_flight.reset();
    });
    return;
  }
  Dispatch(request, true);
}

void RkMessageRouter::OnBodyRead(RkRequestBodyReader::Result result, http_request& request) {
  switch (result) {
    case RkRequestBodyReader::Result::kComplete:
      RouteArrived(request);
      return;
    case RkRequestBodyReader::Result::kTooLarge:
      RkLogWarn("request body too large: over {0} bytes for {1}", kMaxRequestBody, request.request_uri().to_string());
      ReplyIfOpen(request, status_codes::RequestEntityTooLarge);
      return;
    case RkRequestBodyReader::Result::kBroken:
      RkLogWarn("request body broke off: {0}", request.request_uri().to_string());
      ReplyIfOpen(request, status_codes::BadRequest);
      return;
  }
}

void RkMessageRouter::RouteArrived(http_request& request) {
  // A body that came in as the listener closed is not routed: the listener
  // has answered it.
  if (closing_) return;
  Dispatch(request, false);
}

void RkMessageRouter::ReplyIfOpen(http_request& request, web::http::status_code status) {
  try {
    Reply(request, status, "{}");
  } catch (...) {
    // Already answered, or the connection is gone.
  }
}

void RkMessageRouter::Dispatch(http_request& request, bool on_listener) {
  RunLogged(request, on_listener, [this, &request] { Route(request); });
}

void RkMessageRouter::Route(http_request& request) {
  static const std::set<std::string> kExemptSegments = {"account", "updater"};
  static const std::string kUserHeader = "UserName";

  const std::string uri = request.request_uri().to_string();
  const std::vector<std::string> segments = web::uri::split_path(uri);

  if (segments.empty()) {
    Reply(request, status_codes::OK, "{}");
    return;
  }

  if (RkLogLevelNow() <= 0) {
    RkLogTrace("{0}", RkRequestTraceText(request));
  } else {
    RkLogInfo("{0}", uri);
  }

  std::string user = "Anonymity";
  const auto header = request.headers().find(kUserHeader);
  const bool has_user = header != request.headers().end();
  if (has_user) user = header->second;

  // The proxies keep no folder: their user goes to the browser's main
  // library as the profile, whatever its text, and an empty one is refused
  // by the registry.
  if (kExemptSegments.count(segments[0]) == 0) {
    if (request.method() == methods::OPTIONS) {
      Reply(request, status_codes::OK, "{}");
      return;
    }
    if (!has_user || user.empty()) {
      RkLogWarn("UserName must in headers");
      Reply(request, status_codes::BadRequest, "{}");
      return;
    }
    if (!IsSafeUserName(user)) {
      RkLogWarn("UserName is not a plain folder name: {0}", user);
      Reply(request, status_codes::BadRequest, "{}");
      return;
    }
  }

  RkHandlerRegistry::Refusal refusal = RkHandlerRegistry::Refusal::kNone;
  RkRestHandler* handler = registry_->GetHandler(info_.root_path, user, uri, &refusal);
  if (handler == nullptr) {
    if (refusal == RkHandlerRegistry::Refusal::kTooManyUsers ||
        refusal == RkHandlerRegistry::Refusal::kTooFewDescriptors) {
      // The registry has said why.
      Reply(request, status_codes::ServiceUnavailable, "{}");
      return;
    }
    RkLogError("can not create a handler for request for {0}, {1}", info_.root_path, user);
    Reply(request, status_codes::InternalError, "{}");
    return;
  }

  if (!handler->WaitsOutside(request)) {
    Invoke(handler, request);
    return;
  }
  // The listener's threads also read bodies and write replies for everyone:
  // a route that waits on something outside runs on the work pool and
  // answers from there. The count keeps the handler until it has ended.
  auto in_flight = std::make_shared<InFlight>(shared_from_this());
  const bool taken = platform::RkWorkPool::Shared().TrySubmit([this, in_flight, handler, request]() mutable {
    RunLogged(request, false, [this, handler, &request] { Invoke(handler, request); });
    in_flight.reset();
  });
  if (!taken) {
    const platform::RkWorkPool::Load load = platform::RkWorkPool::Shared().CurrentLoad();
    RkLogWarn("no worker for {0} {1}: {2} threads busy and {3} waiting, the most the pool holds", request.method(),
              uri, load.busy, load.queued);
    Reply(request, status_codes::ServiceUnavailable, "{}");
  }
}

void RkMessageRouter::Invoke(RkRestHandler* handler, http_request& request) {
  const web::http::method& method = request.method();
  if (method == methods::GET) {
    handler->HandleGet(request);
  } else if (method == methods::POST) {
    handler->HandlePost(request);
  } else if (method == methods::PUT) {
    handler->HandlePut(request);
  } else if (method == methods::DEL) {
    handler->HandleDelete(request);
  } else if (method == methods::OPTIONS) {
    handler->HandleOptions(request);
  } else {
    RkLogInfo("{0}:{1}", "NotImplemented", method);
    Reply(request, status_codes::NotImplemented, "{}");
  }
}

}  // namespace rkservice
