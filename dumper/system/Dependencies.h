#pragma once
// The Dependencies part's parser: the closure walk of the file being listed,
// against the environment the command line set up.
#include "dumper/pe/Context.h"
#include "dumper/system/Closure.h"

namespace kestrova::dumper::pe {

// Present for an image that imports anything, also when there is no system to
// resolve against (the part then says so in one line).
system::Closure ParseDependencies(const Context& ctx);

}  // namespace kestrova::dumper::pe
