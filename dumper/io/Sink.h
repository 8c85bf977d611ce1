#pragma once
// What the listing is written to and how a mapped file's pages are handed back:
// the two things every layer of the tool talks to, so they sit at the bottom.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrova::dumper::io {

// Receives the listing in chunks as it is produced.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Write(std::string_view text) = 0;
};

// For a caller that maps the file: the checksum reads every byte once, and
// this hears of each stretch as it is finished with, so that the caller can
// drop those pages instead of holding the whole file resident.
class PageRelease {
 public:
  virtual ~PageRelease() = default;
  // The stretch's bytes read into a buffer of the caller's, valid until the next
  // call; empty when the caller has none, and the mapping is read instead.
  // Reading a large file in pieces is cheaper than faulting in every page of it.
  virtual std::span<const std::uint8_t> Fetch(std::size_t /*offset*/, std::size_t /*size*/) { return {}; }
  // About to read the stretch: a chance to map it in one go.
  virtual void Need(std::size_t /*offset*/, std::size_t /*size*/) {}
  virtual void Done(std::size_t offset, std::size_t size) = 0;
};

}  // namespace kestrova::dumper::io
