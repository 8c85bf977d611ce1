#pragma once
// The dump tool's library entry point: one file's bytes in, the listing out.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrova::dumper {

// Receives the listing in chunks as it is produced.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual void Write(std::string_view text) = 0;
};

// Writes the whole listing of one file's bytes to `out`. Never throws or crashes on any input;
// damage is reported in the listing. `displayName` is the name shown in the listing; `fileSize` = bytes.size().
void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out);

// Convenience for tests and the fuzzer.
std::string DumpToString(std::span<const std::uint8_t> bytes, std::string_view displayName);

}  // namespace kestrova::dumper
