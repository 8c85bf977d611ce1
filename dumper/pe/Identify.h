#pragma once
// What built a file and whether it is packed: marks that the parts note as they
// read (section names, runtime imports, resource names, the Rich header, the
// overlay's first bytes, the entry point's code), and the findings worded as
// evidence that the summary opening the listing shows.
#include <string>
#include <vector>

namespace kestrova::dumper::pe {

struct Marks {};

}  // namespace kestrova::dumper::pe
