#pragma once
// The dependency walk's files on a POSIX system: each DLL mapped read-only, so
// that only the pages its headers and tables lie in are ever read from disk.
#include "dumper/system/Files.h"

namespace kestrova::dumper::system {

class MappedFiles final : public Files {
 public:
  bool List(const std::string& dir, std::vector<std::string>& names) override;
  std::unique_ptr<FileBytes> Open(const std::string& path, std::string& error) override;
  std::unique_ptr<FileBytes> OpenWhole(const std::string& path, std::string& error) override;
  bool ListFolder(const std::string& dir, std::vector<std::string>& names, std::string& error) override;
  PathKind Kind(const std::string& path) override;
};

// Maps the regular file open as `fd` (`size` bytes, not 0) for a listing, which
// reads it whole; takes the descriptor, or closes it and says why in `error`.
std::unique_ptr<FileBytes> MapWhole(int fd, std::size_t size, std::string& error);

}  // namespace kestrova::dumper::system
