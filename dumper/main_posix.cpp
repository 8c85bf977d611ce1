// The native command line: plain UTF-8 on standard output.
#include <fcntl.h>
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
class PosixFiles final : public FileSource {
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
      file_ = kestrova::dumper::system::MapWhole(fd, static_cast<std::size_t>(st.st_size), error);
      if (file_) return true;
      // Read instead of mapped: open it again, since the mapping took the descriptor.
      fd = ::open(argv_[index], O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        error = std::strerror(errno);
        return false;
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

  kestrova::dumper::PageRelease* Pages() override { return file_ ? file_->Pages() : nullptr; }
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
    return file_ ? file_->Bytes() : std::span<const std::uint8_t>{};
  }

 private:
  void Unmap() { file_.reset(); }
  char** argv_;
  std::unique_ptr<kestrova::dumper::system::FileBytes> file_;  // the mapped file, when it could be mapped
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
