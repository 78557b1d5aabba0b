#pragma once
// What a subscription or a query hands its callbacks. The payload view is valid only for
// the duration of the callback: decode or copy it there.

#include "zenoh/bytes.hpp"

namespace zenoh::inline kq {

class Sample {
 public:
  explicit Sample(ByteView payload) noexcept : payload_(payload) {}
  ByteView get_payload() const noexcept { return payload_; }

 private:
  ByteView payload_;
};

// One reply to a query: a sample, or an error reply carrying an error payload.
class Reply {
 public:
  Reply(bool ok, ByteView payload) noexcept : ok_(ok), sample_(payload) {}
  bool is_ok() const noexcept { return ok_; }
  const Sample& get_ok() const noexcept { return sample_; }
  ByteView get_err_payload() const noexcept { return sample_.get_payload(); }

 private:
  bool ok_;
  Sample sample_;
};

}  // namespace zenoh::inline kq
