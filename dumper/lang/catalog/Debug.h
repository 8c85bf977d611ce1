#pragma once
// The Debug part's words in the catalog, for the code that says them.
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::lang::M {
#define MSG KESTROVA_MSG
#include "dumper/lang/catalog/Debug.def"
#undef MSG
}  // namespace kestrova::dumper::lang::M
