#pragma once
// The thread-local storage directory and its callbacks, which the loader runs
// before the entry point.
#include <cstdint>
#include <span>

#include "dumper/io/Reader.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Layout.h"

namespace kestrova::dumper::pe {

enum TlsField : std::size_t {
  kTlsStart, kTlsEnd, kTlsIndex, kTlsCallbacks, kTlsZeroFill, kTlsCharacteristics, kTlsFieldCount
};
std::span<const FieldDef> TlsLayout();

struct TlsDirectory {
  bool present = false;
  std::uint32_t rva = 0, size = 0;
  FieldBlock fields;
  std::uint64_t callbackRva = 0;  // the callback array's RVA (AddressOfCallBacks less the image base)
  std::uint32_t callbacks = 0;    // entries before the terminating zero (or before the walk stopped)
  io::Reader array;               // exactly those entries
};

struct TlsCallback {
  std::uint64_t va = 0;
  bool inImage = false;  // its RVA lies in the image
  std::uint64_t rva = 0;
};

TlsDirectory ParseTls(const Context& ctx);
TlsCallback TlsCallbackAt(const Context& ctx, const TlsDirectory& t, std::uint32_t i);

}  // namespace kestrova::dumper::pe
