// The native command line: plain UTF-8 on standard output.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "dumper/Cli.h"

namespace {

using kestrova::dumper::FileSource;
using kestrova::dumper::Sink;

class StdoutSink final : public Sink {
 public:
  void Write(std::string_view text) override { std::fwrite(text.data(), 1, text.size(), stdout); }
};

class PosixFiles final : public FileSource {
 public:
  explicit PosixFiles(char** argv) : argv_(argv) {}
  bool Read(std::size_t index, std::vector<std::uint8_t>& bytes, std::string& error) override {
    int fd = ::open(argv_[index], O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      error = std::strerror(errno);
      return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      error = "is a directory";
      return false;
    }
    if (st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
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

 private:
  char** argv_;
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
