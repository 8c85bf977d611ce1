#pragma once
// What the dependency walk needs of the file system: the names in a folder and
// a file's bytes. The platform halves supply it (a mapping, so that only the
// pages the walk reads are ever brought in); tests supply files in memory.
// Paths are UTF-8 with '/' between folders.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kestrova::dumper::system {

// A file opened for reading; its bytes stay valid while it lives.
class FileBytes {
 public:
  virtual ~FileBytes() = default;
  virtual std::span<const std::uint8_t> Bytes() const = 0;
  // Done with the bytes for now: a mapping may hand its pages back (they come
  // back from the file when read again), so that a walk over many DLLs holds
  // only the pages of the step it is at.
  virtual void Release() const {}
};

class Files {
 public:
  virtual ~Files() = default;
  // The names of the entries of folder `dir`; false when it cannot be listed.
  virtual bool List(const std::string& dir, std::vector<std::string>& names) = 0;
  // The file at `path`, or null with the reason in `error`.
  virtual std::unique_ptr<FileBytes> Open(const std::string& path, std::string& error) = 0;
};

// `dir` + '/' + `name`, without doubling a separator.
inline std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}

}  // namespace kestrova::dumper::system
