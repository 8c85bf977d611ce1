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

#include "dumper/io/Sink.h"

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
  // What the listing's checksum pass may hand pages back to; null when nothing.
  virtual io::PageRelease* Pages() { return nullptr; }
};

// What a path names, links followed.
struct PathKind {
  enum class Type : std::uint8_t { Missing, File, Folder, Other };
  Type type = Type::Missing;
  // A folder's identity (its device and inode, its volume and file index): two
  // names of one folder, through a link, have the same one. Empty when unknown.
  std::string id;
  std::string error;  // Missing: why
};

class Files {
 public:
  virtual ~Files() = default;
  // The names of the entries of folder `dir`; false when it cannot be listed.
  virtual bool List(const std::string& dir, std::vector<std::string>& names) = 0;
  // The file at `path`, or null with the reason in `error`.
  virtual std::unique_ptr<FileBytes> Open(const std::string& path, std::string& error) = 0;
  // The file at `path` to be listed whole, read front to back (Open is for a
  // few scattered tables). The same as Open where the platform has no better way.
  virtual std::unique_ptr<FileBytes> OpenWhole(const std::string& path, std::string& error) { return Open(path, error); }
  // The same as List, saying why a folder cannot be listed.
  virtual bool ListFolder(const std::string& dir, std::vector<std::string>& names, std::string& error) {
    if (List(dir, names)) return true;
    error = "cannot be listed";
    return false;
  }
  // What `path` is; a platform that cannot tell says Missing.
  virtual PathKind Kind(const std::string& path) {
    PathKind k;
    k.error = "this build cannot tell files from folders";
    (void)path;
    return k;
  }
};

// `dir` + '/' + `name`, without doubling a separator.
inline std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/' || dir.back() == '\\') return dir + name;
  return dir + "/" + name;
}

}  // namespace kestrova::dumper::system
