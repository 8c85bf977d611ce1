#include "dumper/Dump.h"

#include "dumper/banner.h"

namespace kestrova::dumper {

void DumpImage(std::span<const std::uint8_t> bytes, std::string_view displayName, Sink& out) {
  out.Write(kBanner);
  out.Write("\n");
  (void)bytes;
  (void)displayName;
}

namespace {
class StringSink final : public Sink {
 public:
  explicit StringSink(std::string& s) : s_(s) {}
  void Write(std::string_view text) override { s_.append(text); }

 private:
  std::string& s_;
};
}  // namespace

std::string DumpToString(std::span<const std::uint8_t> bytes, std::string_view displayName) {
  std::string s;
  StringSink sink(s);
  DumpImage(bytes, displayName, sink);
  return s;
}

}  // namespace kestrova::dumper
