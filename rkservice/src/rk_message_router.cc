#include "rk_message_router.h"

#include <cpprest/uri.h>
#include <pplx/threadpool.h>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <map>
#include <vector>

#include "platform/rk_platform.h"
#include "platform/rk_work_pool.h"
#include "rk_handler_registry.h"
#include "rk_logger.h"
#include "rk_rest_handler.h"

namespace rkservice {
namespace {

using web::http::http_request;
using web::http::methods;
using web::http::status_codes;
using web::http::experimental::listener::http_listener;

// The listener's bound of a request body: past it the body fails, unread.
constexpr uint64_t kMaxRequestBody = 64ull << 20;
// No folder can have a longer name; the log shows only the start of one.
constexpr size_t kMaxUserNameBytes = 255;
constexpr size_t kLoggedUserNameBytes = 64;

// Made at load, not on first use: a function's static made after the first
// start would be torn down at exit before the exit-time close, while
// requests may still read it.
const char* const kExemptSegments[] = {"account", "updater"};
constexpr char kUserHeader[] = "UserName";

bool IsExemptSegment(const std::string& segment) {
  for (const char* exempt : kExemptSegments) {
    if (segment == exempt) return true;
  }
  return false;
}

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

RkMessageRouter::RkMessageRouter(RkServiceInfo info)
    : work_(std::make_shared<RkServiceWork>()), registry_(new RkHandlerRegistry(info)), info_(std::move(info)) {}

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
    // Open before the first request can come in.
    work_->Open();
    try {
      listener_->open().wait();
    } catch (...) {
      work_->BeginStop();
      ReleaseEndpoint(endpoint);
      throw;
    }
    endpoint_ = endpoint;
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
  // First the work: waits on the outside end, and work that has not started
  // goes unrun; its client's connection is closed with the listener.
  work_->BeginStop();
  const size_t dropped = platform::RkWorkPool::Shared().Drop(work_.get());
  if (dropped > 0) RkLogInfo("{0} stopping: {1} requests dropped before they started", info_.name, dropped);
  try {
    listener_->close().wait();
  } catch (const std::exception& e) {
    std::cout << e.what() << std::endl;
    // Still listening: the service goes on serving.
    work_->Open();
    return;
  }
  // The listener is done with its connections and its calls, but work it
  // handed on may still run: a route on the pool, a route whose body came in
  // late. It holds no reference to the router, so that the router, its
  // handlers and their stores go with the last reference the browser's side
  // holds, on the browser's thread.
  if (const size_t left = work_->RunningCount()) {
    RkLogInfo("{0} stopping: waiting for {1} requests still running", info_.name, left);
  }
  work_->WaitIdle();
  ReleaseEndpoint(endpoint_);
  endpoint_.clear();
  listener_.reset();
  running_ = false;
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
  // A stopping service answers nothing more: its connections are closing.
  if (RkServiceWork::CurrentStopping()) return pplx::task_from_result();
  return request.reply(MakeRkResponse(status, std::move(text)));
}

void RkMessageRouter::HandleRequest(http_request request) {
  RkServiceWork::Scope scope(work_, nullptr);
  const web::http::http_headers& headers = request.headers();
  // The listener calls us once the headers are in; its own threads then read
  // the body. A route that waited for the body here would hold one of those
  // threads, and a few slow or concurrent bodies would leave none to read any:
  // the whole service would hang. So a request is routed once its body is
  // in, and the routes' own reads return at once. Until then the request is
  // counted as the service's running work, so that a stop waits for it.
  // (Requests routed here and now need no count: the listener's close waits
  // for this call.) The listener bounds the body as it arrives, and fails it
  // past the limit or at bad framing.
  const bool chunked = headers.has(web::http::header_names::transfer_encoding);
  if (!chunked && headers.content_length() == 0) {
    Dispatch(request, true);
    return;
  }
  RkServiceWork::Running running = work_->Enter();
  // Stopping: the listener closes the connection.
  if (!running) return;
  auto held = std::make_shared<RkServiceWork::Running>(std::move(running));
  request.content_ready().then([this, held, request](pplx::task<http_request> ready) mutable {
    RkServiceWork::Scope scope(work_, held.get());
    std::error_code failure;
    try {
      ready.wait();
    } catch (const web::http::http_exception& e) {
      failure = e.error_code();
      if (!failure) failure = std::make_error_code(std::errc::bad_message);
    } catch (...) {
      failure = std::make_error_code(std::errc::bad_message);
    }
    if (!failure) {
      RouteArrived(request);
    } else {
      OnBodyFailed(failure, request);
    }
    // Last: the router may go once the count drops.
    held->Release();
  });
}

void RkMessageRouter::OnBodyFailed(std::error_code failure, http_request& request) {
  // Nothing of a body that did not arrive whole reaches a route.
  if (work_->stopping()) return;
  if (failure == std::errc::file_too_large) {
    RkLogWarn("request body too large: over {0} bytes for {1}", kMaxRequestBody, request.request_uri().to_string());
    ReplyIfOpen(request, status_codes::RequestEntityTooLarge);
    return;
  }
  RkLogWarn("request body broke off: {0}", request.request_uri().to_string());
  ReplyIfOpen(request, status_codes::BadRequest);
}

void RkMessageRouter::RouteArrived(http_request& request) {
  // A body that came in as the service stopped is not routed: nothing of a
  // stopping service starts.
  if (work_->stopping()) return;
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
  const std::string uri = request.request_uri().to_string();
  const std::vector<std::string> segments = web::uri::split_path(uri);

  const auto header = request.headers().find(kUserHeader);
  const bool has_user = header != request.headers().end();
  // Refused before anything keeps or logs it whole, on every segment.
  if (has_user && header->second.size() > kMaxUserNameBytes) {
    size_t shown = kLoggedUserNameBytes;
    while (shown > 0 && (static_cast<unsigned char>(header->second[shown]) & 0xC0) == 0x80) --shown;
    RkLogWarn("UserName is longer than {0} bytes: {1}...", kMaxUserNameBytes, header->second.substr(0, shown));
    Reply(request, status_codes::BadRequest, "{}");
    return;
  }

  if (segments.empty()) {
    Reply(request, status_codes::OK, "{}");
    return;
  }

  if (RkLogLevelNow() <= 0) {
    RkLogTrace("{0}", RkRequestTraceText(request));
  } else {
    RkLogInfo("{0}", uri);
  }

  std::string user = RkHandlerRegistry::kAnonymousUser;
  if (has_user) user = header->second;

  // The proxies keep no folder: their user goes to the browser's main
  // library as the profile, whatever its text, and an empty one is refused
  // by the registry.
  if (!IsExemptSegment(segments[0])) {
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
  RouteOnPool(handler, request, user);
}

void RkMessageRouter::RouteOnPool(RkRestHandler* handler, http_request& request, const std::string& user) {
  const std::string uri = request.request_uri().to_string();
  bool at_bound = false;
  RkServiceWork::PoolShare share = work_->TakePoolShare(user, &at_bound);
  if (!share) {
    // Not at the bound: the service is stopping, and nothing more starts.
    if (!at_bound) return;
    RkLogWarn("no worker for {0} {1}: user {2} has {3} requests on the pool, the most one user may", request.method(),
              uri, user, RkServiceWork::kMaxPoolWorkPerUser);
    Reply(request, status_codes::ServiceUnavailable, "{}");
    return;
  }
  // The listener's threads also read bodies and write replies for everyone:
  // a route that waits on something outside runs on the work pool and
  // answers from there. It holds the service's work, not the router: the
  // count it takes when it starts keeps the router and the handler, and the
  // share counts it against its user from now on.
  struct Job {
    RkServiceWork::PoolShare share;
    RkRestHandler* handler;
    http_request request;
  };
  auto job = std::make_shared<Job>(Job{std::move(share), handler, request});
  const bool taken = platform::RkWorkPool::Shared().TrySubmit(
      [this, work = work_, job] {
        RkServiceWork::Running running = work->Enter();
        // The service stopped before this started: it is dropped.
        if (!running) return;
        {
          RkServiceWork::Scope scope(work, &running);
          RunLogged(job->request, false, [this, &job] { Invoke(job->handler, job->request); });
        }
        // `running` goes last.
      },
      work_.get());
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
