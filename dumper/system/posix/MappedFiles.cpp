#include "dumper/system/posix/MappedFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrova::dumper::system {

namespace {

class Mapping final : public FileBytes {
 public:
  Mapping(void* p, std::size_t n) : p_(p), n_(n) {}
  ~Mapping() override {
    if (p_ != nullptr) ::munmap(p_, n_);
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  std::span<const std::uint8_t> Bytes() const override { return {static_cast<const std::uint8_t*>(p_), n_}; }
  // Unchanged pages of a private read-only mapping are the file's: dropping them loses nothing.
  void Release() const override {
    if (p_ != nullptr) ::madvise(p_, n_, MADV_DONTNEED);
  }

 private:
  void* p_;
  std::size_t n_;
};

}  // namespace

bool MappedFiles::List(const std::string& dir, std::vector<std::string>& names) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return false;
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(d);
  return true;
}

std::unique_ptr<FileBytes> MappedFiles::Open(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = S_ISDIR(st.st_mode) ? "is a directory" : "not a regular file";
    ::close(fd);
    return nullptr;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p = size != 0 ? ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  ::close(fd);
  if (p == MAP_FAILED) {
    error = std::strerror(errno);
    return nullptr;
  }
  // The walk reads a few scattered tables of each DLL: no read-ahead around them.
  if (p != nullptr) ::madvise(p, size, MADV_RANDOM);
  return std::make_unique<Mapping>(p, size);
}

}  // namespace kestrova::dumper::system
