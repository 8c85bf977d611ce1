// libFuzzer entry for the API-set schema reader: the input is the bytes of a
// `.apiset` section. Every entry read is named and looked up, and a few names
// of each kind are resolved, as the dependency walk would.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "dumper/system/ApiSet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace sys = kestrova::dumper::system;
  namespace pe = kestrova::dumper::pe;
  if (size > (1u << 20)) return 0;
  kestrova::dumper::io::Reader bytes(std::span<const std::uint8_t>(data, size));
  pe::Anomalies an;
  pe::Budget budget(size);
  sys::ApiSetSchema s = sys::ReadApiSetSchema(bytes, an, pe::Area::File, budget);
  // The budget bounds the entries and values read, whatever the counts claim.
  if (s.entries.size() > size / 2 + 4096) std::abort();
  for (std::size_t i = 0; i < s.entries.size() && i < 512; ++i) {
    const std::string name = sys::ContractName(s, s.entries[i]);
    (void)sys::ResolveApiSet(s, name + ".dll", "kernel32.dll");
  }
  for (const char* name : {"api-ms-win-core-file-l1-2-0.dll", "ext-ms-win-gdi-draw-l1-1-0.dll", "api-", "api-x",
                           "ext-ms-win-.dll", "kernel32.dll"})
    (void)sys::ResolveApiSet(s, name, "user32.dll");
  return 0;
}
