#pragma once
// The comparison of two files as the reader sees it: the verdict first, then
// each kind of difference under its own heading; one JSON object in JSON.
#include <string_view>

#include "dumper/compare/Compare.h"
#include "dumper/print/Printer.h"

namespace kestrova::dumper::print {

void PrintComparison(Printer& o, std::string_view before, std::string_view after, const compare::Comparison& c);

// The kind of file a snapshot is, in the reader's words and in JSON's.
lang::Msg KindWord(compare::Kind k);
std::string_view KindJson(compare::Kind k);

}  // namespace kestrova::dumper::print
