#pragma once
// What the command line can change about a listing.

namespace kestrova::dumper::pe {

struct Options {
  // Readable forms of mangled C++ names beside the raw ones.
  bool demangle = true;
};

}  // namespace kestrova::dumper::pe
