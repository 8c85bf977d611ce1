#pragma once
// The short form of a COFF object (what it defines, what it needs), shared by
// the object listing and the archive listing's object members.
#include "dumper/coff/Object.h"
#include "dumper/print/Printer.h"

namespace kestrova::dumper::print {

// Problems the walk finds go to `an`.
void ObjectSummary(Printer& o, const coff::Object& obj, const pe::Context& ctx, pe::Anomalies& an, std::string_view indent);

}  // namespace kestrova::dumper::print
