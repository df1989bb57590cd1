// Reads a request body whose length is not announced (chunked framing) as it
// arrives, and keeps at most a limit of it. The listener would keep every
// byte of such a body before the route could look at it; here the limit
// holds while the bytes come in, and past it the rest is drained unkept.
#ifndef RKSERVICE_SRC_RK_REQUEST_BODY_READER_H_
#define RKSERVICE_SRC_RK_REQUEST_BODY_READER_H_

#include <cpprest/http_msg.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rkservice {

class RkRequestBodyReader : public std::enable_shared_from_this<RkRequestBodyReader> {
 public:
  enum class Result {
    kComplete,  // the whole body is in, and the request reads it as usual
    kTooLarge,  // over the limit: the request's body is closed for reading
    kBroken,    // the body broke off or its framing was bad
  };
  // Runs once, on a listener thread; it must not wait there.
  using Done = std::function<void(Result result, web::http::http_request& request)>;

  // Starts reading; `done` follows once the body has ended or the limit is
  // passed.
  static void Read(web::http::http_request request, uint64_t limit, Done done);

  RkRequestBodyReader(web::http::http_request request, uint64_t limit, Done done);

 private:
  void ReadMore();
  // Moves what the buffer holds into body_; false once the limit is passed
  // (the reader has then finished).
  bool TakeAvailable(concurrency::streams::streambuf<uint8_t>& buffer);
  bool Keep(uint8_t byte);
  // Room for `more` bytes; past the limit it finishes the reader.
  bool Fits(size_t more);
  void OnEnd();
  void Finish(Result result);

  web::http::http_request request_;
  const uint64_t limit_;
  Done done_;
  std::vector<uint8_t> body_;
};

}  // namespace rkservice

#endif  // RKSERVICE_SRC_RK_REQUEST_BODY_READER_H_
