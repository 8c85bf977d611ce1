#include "dumper/io/Spill.h"

#include <cstdlib>

namespace kestrova::dumper::io {

namespace {

// A file removed when it is closed. The C runtime's tmpfile() on Windows makes
// it in the drive's root, where a user may not write; there the folder in TMP
// is asked for by name, and the "D" mode deletes the file on close.
std::FILE* TempFile() {
#ifdef _WIN32
  char* name = _tempnam(nullptr, "tdump");
  if (name == nullptr) return nullptr;
  std::FILE* f = std::fopen(name, "w+bD");
  std::free(name);
  return f;
#else
  return std::tmpfile();
#endif
}

}  // namespace

Spill::~Spill() {
  if (file_ != nullptr) std::fclose(file_);
}

void Spill::Write(std::string_view text) {
  if (file_ == nullptr && !noFile_ && mem_.size() + text.size() > kInMemory) {
    file_ = TempFile();
    if (file_ != nullptr && std::fwrite(mem_.data(), 1, mem_.size(), file_) == mem_.size()) {
      std::string().swap(mem_);
    } else {
      if (file_ != nullptr) std::fclose(file_);
      file_ = nullptr;
      noFile_ = true;
    }
  }
  if (file_ != nullptr && !noFile_) {
    if (std::fwrite(text.data(), 1, text.size(), file_) == text.size()) return;
    noFile_ = true;  // once a write to the file fails, the rest stays in memory, after it
  }
  mem_.append(text);
}

void Spill::ReplayTo(Sink& to) {
  if (file_ != nullptr) {
    std::rewind(file_);
    char buf[64 * 1024];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) to.Write(std::string_view(buf, n));
    std::fclose(file_);
    file_ = nullptr;
  }
  // A write the file refused went to memory, after what the file holds.
  to.Write(mem_);
  std::string().swap(mem_);
}

}  // namespace kestrova::dumper::io
