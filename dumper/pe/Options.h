#pragma once
// What the command line can change about a listing.

#include <cstddef>

#include "dumper/lang/Lang.h"

namespace kestrova::dumper::system {
struct Environment;
}

namespace kestrova::dumper::pe {

struct Options {
  // Readable forms of mangled C++ names beside the raw ones.
  bool demangle = true;
  // The listing as JSON Lines instead of text.
  bool json = false;
  // What the Dependencies part resolves against; null: the part says there is none.
  const system::Environment* deps = nullptr;
  // --no-deps: no Dependencies part at all.
  bool noDeps = false;
  // The Exports part's data and argument-size marks. Off only through the
  // unlisted --no-usage, which bench/bench.py times the listing against.
  bool exportUsage = true;
  // The language of the listing's own words; JSON is always English.
  lang::Lang lang = lang::Lang::En;
  // The reader's width in columns: longer lines go on under the value column (0: none).
  std::size_t wrap = 0;
};

}  // namespace kestrova::dumper::pe
