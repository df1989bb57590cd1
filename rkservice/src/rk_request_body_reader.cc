#include "rk_request_body_reader.h"

#include <cpprest/containerstream.h>

#include <algorithm>
#include <cstddef>
#include <utility>

namespace rkservice {
void RkRequestBodyReader::Read(web::http::http_request request, uint64_t limit, Done done) {
  std::make_shared<RkRequestBodyReader>(std::move(request), limit, std::move(done))->ReadMore();
}

RkRequestBodyReader::RkRequestBodyReader(web::http::http_request request, uint64_t limit, Done done)
    : request_(std::move(request)), limit_(limit), done_(std::move(done)) {}

void RkRequestBodyReader::ReadMore() {
  // The listener does not wait for its reader: whatever is not taken at once
  // piles up in the request's buffer. So each wake-up takes everything there
  // is, and only then waits for the next byte.
  concurrency::streams::streambuf<uint8_t> buffer = request_.body().streambuf();
  auto self = shared_from_this();
  pplx::task<concurrency::streams::streambuf<uint8_t>::int_type> next;
  try {
    if (!TakeAvailable(buffer)) return;
    next = buffer.bumpc();
  } catch (...) {
    Finish(Result::kBroken);
    return;
  }
  next.then([self](pplx::task<concurrency::streams::streambuf<uint8_t>::int_type> byte) {
    int value = 0;
    try {
      value = byte.get();
    } catch (...) {
      self->Finish(Result::kBroken);
      return;
    }
    if (value == concurrency::streams::streambuf<uint8_t>::traits::eof()) {
      self->OnEnd();
      return;
    }
    if (!self->Keep(static_cast<uint8_t>(value))) return;
    self->ReadMore();
  });
}

bool RkRequestBodyReader::TakeAvailable(concurrency::streams::streambuf<uint8_t>& buffer) {
  for (;;) {
    uint8_t* data = nullptr;
    size_t count = 0;
    if (!buffer.acquire(data, count) || data == nullptr || count == 0) return true;
    if (!Fits(count)) return false;
    body_.insert(body_.end(), data, data + count);
    buffer.release(data, count);
  }
}

bool RkRequestBodyReader::Keep(uint8_t byte) {
  if (!Fits(1)) return false;
  body_.push_back(byte);
  return true;
}

bool RkRequestBodyReader::Fits(size_t more) {
  const uint64_t needed = body_.size() + static_cast<uint64_t>(more);
  if (needed <= limit_) {
    // Grown by doubling, but never past the limit.
    if (needed > body_.capacity()) {
      body_.reserve(static_cast<size_t>(std::min<uint64_t>(limit_, std::max<uint64_t>(needed, 2 * body_.capacity()))));
    }
    return true;
  }
  // What has piled up goes now, and with nobody reading any more the
  // listener drops the rest as it comes.
  try {
    concurrency::streams::streambuf<uint8_t> buffer = request_.body().streambuf();
    uint8_t* data = nullptr;
    size_t count = 0;
    while (buffer.acquire(data, count) && data != nullptr && count > 0) buffer.release(data, count);
    buffer.close(std::ios_base::in);
  } catch (...) {
  }
  body_.clear();
  body_.shrink_to_fit();
  Finish(Result::kTooLarge);
  return false;
}

void RkRequestBodyReader::OnEnd() {
  // The end of the stream, whole or broken off: the listener says which once
  // it has closed the body.
  auto self = shared_from_this();
  request_.content_ready().then([self](pplx::task<web::http::http_request> ready) {
    try {
      ready.wait();
    } catch (...) {
      self->Finish(Result::kBroken);
      return;
    }
    // The route reads the body from here, as it would from the listener.
    self->request_._get_impl()->set_instream(
        concurrency::streams::container_buffer<std::vector<uint8_t>>(std::move(self->body_), std::ios_base::in)
            .create_istream());
    self->Finish(Result::kComplete);
  });
}

void RkRequestBodyReader::Finish(Result result) {
  Done done = std::move(done_);
  done_ = nullptr;
  if (done) done(result, request_);
}

}  // namespace rkservice
