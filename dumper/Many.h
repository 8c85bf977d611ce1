#pragma once
// The command line's answers about more than one file at a time: two files
// compared (--diff), every file under a folder listed, and the files that
// export or import a name (--find).
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "dumper/Cli.h"

namespace kestrova::dumper {

// tdump --diff OLD NEW: `older` and `newer` index `args`. Returns 0 when nothing
// breaks callers, 1 when something does, 2 when a file cannot be read or compared.
int RunDiff(std::span<const std::string> args, std::size_t older, std::size_t newer, FileSource& files, Sink& out,
            const Options& opts);

// tdump FOLDER: the listing of every PE image, COFF object, archive and NE file
// under `folder`, in path order, made on every core and written in that order,
// then one line counting the other files. `appDir` is --app-dir's (empty: each
// file's own folder); `first` says whether anything was written before, and is
// cleared. Returns 0, or 1 when a file or folder could not be read (a line
// says so where it would have been listed, and the walk goes on).
int ListFolder(const std::string& folder, system::Files& fs, Sink& out, const Options& opts,
               const std::string& appDir, bool& first);

// tdump --find NAME PATH...: a line for each export or import of NAME (as the
// file names it, undecorated, or demangled) in the files at and under the
// paths. Returns 0 when one was found, 1 when none was.
int RunFind(std::string_view name, std::span<const std::string> paths, system::Files& fs, Sink& out,
            const Options& opts);

// Whether `path` names a folder (links followed).
bool IsFolder(system::Files& fs, const std::string& path);

// One line saying why the file `name` cannot be read, in the listing's form (text or JSON).
void CannotRead(Sink& out, const Options& opts, std::string_view name, std::string_view error);

}  // namespace kestrova::dumper
