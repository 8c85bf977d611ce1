#pragma once
// Everything the workflow asks of the operating system, behind one interface so
// that the workflow runs (and is tested) without Windows. The Win32 layer is
// platform/win32/Win32Platform; the unit tests use an in-memory fake.
//
// Names avoid the Win32 ones (CopyFile, DeleteFile, ...) on purpose: <windows.h>
// turns those into macros, which would rename the methods in some files only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::workflow {

using Bytes = std::vector<std::uint8_t>;

// How an operation ended. `systemText` is the system's description of the
// error (without a trailing line break); empty on success.
struct Outcome {
  enum class Status { Ok, SharingViolation, AlreadyExists, Failed };
  Status status = Status::Ok;
  std::u16string systemText;

  bool ok() const noexcept { return status == Status::Ok; }
  static Outcome Success() { return {}; }
  static Outcome Failure(Status s, std::u16string text) { return {s, std::move(text)}; }
};

struct WriteResult {
  enum class Status { Ok, CreateFailed, WriteFailed };
  Status status = Status::Ok;
  std::u16string systemText;  // for CreateFailed
};

struct ReadResult {
  Outcome outcome;
  Bytes bytes;  // the whole file when outcome.ok()
};

struct Encoded {
  std::string bytes;
  bool lossy = false;  // some character had no form in the code page
};

// Show states of a shell request.
inline constexpr int kShowHidden = 0;  // SW_HIDE
inline constexpr int kShowNormal = 1;  // SW_SHOWNORMAL

class Platform {
 public:
  virtual ~Platform() = default;

  // The running program's full path.
  virtual std::u16string ModulePath() = 0;
  // True when `path` names a file; a directory does not count.
  virtual bool IsFile(const std::u16string& path) = 0;

  // The bytes of the running module's resource `name` of type `type`, both
  // compared without regard to case; nullopt when there is none.
  virtual std::optional<Bytes> ReadResource(std::u16string_view name,
                                            std::u16string_view type) = 0;

  // Creates `path`, or truncates it, and writes `bytes`. After WriteFailed
  // part of the bytes may stand in the file.
  virtual WriteResult WriteWhole(const std::u16string& path, const Bytes& bytes) = 0;
  // Copies a file, replacing `to`.
  virtual bool CopyReplacing(const std::u16string& from, const std::u16string& to) = 0;
  // Deletes a file (never a directory).
  virtual bool Erase(const std::u16string& path) = 0;
  // Renames a file; fails when `to` exists. A file that another process
  // holds open gives SharingViolation.
  virtual Outcome Rename(const std::u16string& from, const std::u16string& to) = 0;

  // Opens `path` for reading with other writers denied and reads it whole.
  // SharingViolation when a writer holds it.
  virtual ReadResult ReadDenyingWriters(const std::u16string& path) = 0;

  virtual bool ChangeDirectory(const std::u16string& path) = 0;
  // Makes one directory; AlreadyExists when anything stands under that name.
  virtual Outcome MakeDirectory(const std::u16string& path) = 0;
  // Removes an empty directory.
  virtual bool RemoveEmptyDirectory(const std::u16string& path) = 0;
  // The user's temporary folder, with its trailing separator.
  virtual std::u16string TempFolder() = 0;
  virtual std::uint32_t ProcessId() = 0;
  // Blocks the calling thread: while giving up the work area at exit, and while
  // Save as .def waits for its run.
  virtual void Pause(unsigned milliseconds) = 0;

  // A value the programs started after it inherit: the dump tool learns from it
  // the folder the user's file came from, which its copy in the work area hides.
  // A platform that starts no programs has nothing to do.
  virtual void SetChildEnvironment(const std::u16string& name, const std::u16string& value) {
    (void)name;
    (void)value;
  }
  // The shell's "open" request; `params` may be empty. Never waits.
  virtual bool ShellOpen(const std::u16string& file, const std::u16string& params,
                         int show) = 0;

  virtual unsigned AnsiCodePage() = 0;
  virtual unsigned OemCodePage() = 0;
  // Characters without a form become the code page's default character.
  virtual Encoded Encode(unsigned codePage, std::u16string_view text) = 0;
  virtual std::u16string Decode(unsigned codePage, std::string_view bytes) = 0;
};

}  // namespace kestrova::workflow
