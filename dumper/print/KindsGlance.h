#pragma once
// At a glance for the other file kinds: what a library, an object or an NE
// file is opened for, from the facts their parts left (kinds/Parts.cpp).
#include "dumper/pe/Facts.h"
#include "dumper/print/Printer.h"

namespace kestrova::dumper::print {

// The "What" line and the lines that answer for the file's kind; false, and
// nothing printed, when the file is none of them.
bool PrintKindsGlance(Printer& o, const pe::Facts& f);

}  // namespace kestrova::dumper::print
