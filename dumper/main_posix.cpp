// The native command line: plain UTF-8 on standard output.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dumper/Cli.h"
#include "dumper/system/posix/MappedFiles.h"

namespace {

using kestrova::dumper::FileSource;
using kestrova::dumper::Sink;

class StdoutSink final : public Sink {
 public:
  void Write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
};

// Maps each file read-only (no copy, and only the pages looked at are
// loaded); falls back to reading for what cannot be mapped (pipes, devices).
class PosixFiles final : public FileSource, private kestrova::dumper::PageRelease {
 public:
  explicit PosixFiles(char** argv) : argv_(argv) {}
  ~PosixFiles() override { Unmap(); }

  bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& error) override {
    Unmap();
    int fd = ::open(argv_[index], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      error = std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (S_ISDIR(st.st_mode)) {
      ::close(fd);
      error = "is a directory";
      return false;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
      void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
      if (p != MAP_FAILED) {
        fd_ = fd;
        map_ = p;
        mapSize_ = static_cast<std::size_t>(st.st_size);
        return true;
      }
    }
    std::uint8_t chunk[1 << 16];
    while (true) {
      ssize_t n = ::read(fd, chunk, sizeof chunk);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = std::strerror(errno);
        ::close(fd);
        return false;
      }
      if (n == 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    ::close(fd);
    return true;
  }

  kestrova::dumper::PageRelease* Pages() override { return map_ != nullptr ? this : nullptr; }
  std::string Environment(std::string_view name) override {
    const char* v = std::getenv(std::string(name).c_str());
    return v != nullptr ? v : "";
  }
  // The locale that gettext would take messages from: LC_ALL, LC_MESSAGES, LANG,
  // the first that is set; then, unless that is C, its LANGUAGE list's first entry.
  std::string UserLanguage() override {
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      if (const char* v = std::getenv(name); v != nullptr && *v != '\0') {
        locale = v;
        break;
      }
    }
    if (locale.empty() || locale == "C" || locale == "POSIX" || locale.rfind("C.", 0) == 0) return locale;
    if (const char* v = std::getenv("LANGUAGE"); v != nullptr && *v != '\0') {
      std::string first(v);
      return first.substr(0, first.find(':'));
    }
    return locale;
  }
  kestrova::dumper::system::Files* SystemFiles() override { return &system_; }

  std::span<const std::uint8_t> Mapped() const override {
    return {static_cast<const std::uint8_t*>(map_), mapSize_};
  }

 private:
  // Unchanged pages of a private read-only mapping come back from the file
  // when touched again, so dropping them is safe and keeps the footprint small.
  void Done(std::size_t offset, std::size_t size) override {
    static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    std::size_t start = (offset + page - 1) / page * page;
    std::size_t end = (offset + size) / page * page;
    if (end > start) ::madvise(static_cast<char*>(map_) + start, end - start, MADV_DONTNEED);
  }

  std::span<const std::uint8_t> Fetch(std::size_t offset, std::size_t size) override {
    if (fd_ < 0) return {};
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
    ::madvise(static_cast<char*>(map_) + start, offset + size - start, MADV_POPULATE_READ);
#else
    (void)offset;
    (void)size;
#endif
  }

  void Unmap() {
    if (map_ != nullptr) ::munmap(map_, mapSize_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    map_ = nullptr;
    mapSize_ = 0;
  }
  char** argv_;
  void* map_ = nullptr;
  std::size_t mapSize_ = 0;
  int fd_ = -1;  // kept open beside the mapping for Fetch
  std::vector<std::uint8_t> buffer_;
  kestrova::dumper::system::MappedFiles system_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  PosixFiles files(argv + 1);
  StdoutSink out;
  int rc = kestrova::dumper::RunCli(args, files, out);
  std::fflush(stdout);
  return rc;
}
