#pragma once
// Every entry of the catalog by name: for the checks that walk it, never for
// code that says a sentence (that includes its own part's file).
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::lang::M {
#define MSG KESTROVA_MSG
#include "dumper/lang/Catalog.def"
#undef MSG
}  // namespace kestrova::dumper::lang::M
