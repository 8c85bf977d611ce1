#pragma once
// Holds part of the output while something that goes before it is made: in
// memory while it is small, then in a temporary file, so a big listing costs
// no more memory than a small one.
#include <cstdio>
#include <string>

#include "dumper/io/Sink.h"

namespace kestrova::dumper::io {

class Spill final : public Sink {
 public:
  Spill() = default;
  ~Spill() override;
  Spill(const Spill&) = delete;
  Spill& operator=(const Spill&) = delete;
  void Write(std::string_view text) override;
  // Bytes held in memory: past a small size they go to the file instead.
  std::size_t InMemory() const { return mem_.size(); }
  // Writes everything held to `to`, in order, and empties the spill.
  void ReplayTo(Sink& to);

 private:
  static constexpr std::size_t kInMemory = 1 << 20;
  std::string mem_;
  std::FILE* file_ = nullptr;
  bool noFile_ = false;  // no temporary file could be had: memory it is
};

}  // namespace kestrova::dumper::io
