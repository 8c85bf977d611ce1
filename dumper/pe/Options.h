#pragma once
// What the command line can change about a listing.

namespace kestrova::dumper::pe {

struct Options {
  // Readable forms of mangled C++ names beside the raw ones.
  bool demangle = true;
  // The listing as JSON Lines instead of text.
  bool json = false;
};

}  // namespace kestrova::dumper::pe
