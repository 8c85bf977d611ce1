#pragma once
// The dependency walk's files on a POSIX system: each DLL mapped read-only, so
// that only the pages its headers and tables lie in are ever read from disk.
#include "dumper/system/Files.h"

namespace kestrova::dumper::system {

class MappedFiles final : public Files {
 public:
  bool List(const std::string& dir, std::vector<std::string>& names) override;
  std::unique_ptr<FileBytes> Open(const std::string& path, std::string& error) override;
};

}  // namespace kestrova::dumper::system
