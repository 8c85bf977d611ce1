#pragma once
// The command line's answers about more than one file at a time: two files
// compared (--diff).
#include <cstddef>
#include <span>
#include <string>

#include "dumper/Cli.h"

namespace kestrova::dumper {

// tdump --diff OLD NEW: `older` and `newer` index `args`. Returns 0 when nothing
// breaks callers, 1 when something does, 2 when a file cannot be read or compared.
int RunDiff(std::span<const std::string> args, std::size_t older, std::size_t newer, FileSource& files, Sink& out,
            const Options& opts);

}  // namespace kestrova::dumper
