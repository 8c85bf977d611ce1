#pragma once
// The command line, apart from the platform: the platform halves supply the
// arguments as UTF-8, a way to read a named file whole, and the output sink.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/Dump.h"
#include "dumper/system/Files.h"
#include "dumper/system/System.h"

namespace kestrova::dumper {

class FileSource {
 public:
  virtual ~FileSource() = default;
  // Reads the whole file named by argument `index` into `bytes`; on failure
  // returns false with the system's reason in `error` (UTF-8).
  virtual bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& error) = 0;
  // When the last Read mapped the file instead of filling `bytes`: its bytes,
  // valid until the next Read. Empty otherwise.
  virtual std::span<const std::uint8_t> Mapped() const { return {}; }
  // What may drop pages of the mapped file; null when nothing can.
  virtual PageRelease* Pages() { return nullptr; }
  // The files outside the listed one that the Dependencies part reads (DLLs,
  // folders); null when the platform half offers none.
  virtual system::Files* SystemFiles() { return nullptr; }
  // The running system, on a platform that has one to resolve against; false elsewhere.
  virtual bool RunningSystem(system::SystemView& /*view*/) { return false; }
  // The application folder when the caller names it outside the command line; empty otherwise.
  virtual std::string AppDirHint() { return {}; }
  // The value of an environment variable (UTF-8), empty when it is not set.
  virtual std::string Environment(std::string_view /*name*/) { return {}; }
  // The user's language as the platform tells it ("zh_CN.UTF-8", "zh-CN", "en-US"), or empty.
  virtual std::string UserLanguage() { return {}; }
};

// `args` are the arguments after the program name. Returns the exit code:
// 0 when every file could be read (damaged or not), 1 otherwise.
int RunCli(std::span<const std::string> args, FileSource& files, Sink& out);

}  // namespace kestrova::dumper
