#include "dumper/system/posix/MappedFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

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

// A file mapped to be listed whole. The checksum pass reads every byte once:
// in pieces read into a buffer, which is cheaper than faulting in each page,
// and the pages it is done with are handed back.
class Whole final : public FileBytes, private io::PageRelease {
 public:
  Whole(int fd, void* p, std::size_t n) : fd_(fd), p_(p), n_(n) {}
  ~Whole() override {
    ::munmap(p_, n_);
    ::close(fd_);
  }
  Whole(const Whole&) = delete;
  Whole& operator=(const Whole&) = delete;
  std::span<const std::uint8_t> Bytes() const override { return {static_cast<const std::uint8_t*>(p_), n_}; }
  io::PageRelease* Pages() override { return this; }

 private:
  // Unchanged pages of a private read-only mapping come back from the file
  // when touched again, so dropping them is safe and keeps the footprint small.
  void Done(std::size_t offset, std::size_t size) override {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t start = (offset + page - 1) / page * page;
    std::size_t end = (offset + size) / page * page;
    if (end > start) ::madvise(static_cast<char*>(p_) + start, end - start, MADV_DONTNEED);
  }

  std::span<const std::uint8_t> Fetch(std::size_t offset, std::size_t size) override {
    buffer_.resize(size);
    std::size_t got = 0;
    while (got < size) {
      ssize_t n = ::pread(fd_, buffer_.data() + got, size - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return {};
      got += static_cast<std::size_t>(n);
    }
    return buffer_;
  }

  void Need(std::size_t offset, std::size_t size) override {
#ifdef MADV_POPULATE_READ
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t start = offset / page * page;
    ::madvise(static_cast<char*>(p_) + start, offset + size - start, MADV_POPULATE_READ);
#else
    (void)offset;
    (void)size;
#endif
  }

  int fd_;
  void* p_;
  std::size_t n_;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace

std::unique_ptr<FileBytes> MapWhole(int fd, std::size_t size, std::string& error) {
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  if (p == MAP_FAILED) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<Whole>(fd, p, size);
}

std::unique_ptr<FileBytes> MappedFiles::OpenWhole(const std::string& path, std::string& error) {
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
  if (st.st_size == 0) {
    ::close(fd);
    return std::make_unique<Mapping>(nullptr, 0);
  }
  return MapWhole(fd, static_cast<std::size_t>(st.st_size), error);
}

bool MappedFiles::List(const std::string& dir, std::vector<std::string>& names) {
  std::string error;
  return ListFolder(dir, names, error);
}

bool MappedFiles::ListFolder(const std::string& dir, std::vector<std::string>& names, std::string& error) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  while (const dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  ::closedir(d);
  return true;
}

PathKind MappedFiles::Kind(const std::string& path) {
  PathKind k;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    k.error = std::strerror(errno);
    return k;
  }
  if (S_ISDIR(st.st_mode)) {
    k.type = PathKind::Type::Folder;
    k.id = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  } else {
    k.type = S_ISREG(st.st_mode) ? PathKind::Type::File : PathKind::Type::Other;
  }
  return k;
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
