#pragma once
// What the command line can change about a listing.

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
};

}  // namespace kestrova::dumper::pe
