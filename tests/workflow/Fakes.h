#pragma once
// In-memory stand-ins for the window's state and for the operating system.
// Paths compare without regard to ASCII case, as Windows compares them.
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "workflow/Error.h"
#include "workflow/Platform.h"
#include "workflow/State.h"

namespace kestrova::testing {

using workflow::Bytes;
using workflow::Encoded;
using workflow::Outcome;
using workflow::ReadResult;
using workflow::WriteResult;

inline Bytes ToBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

class FakeState : public workflow::State {
 public:
  std::u16string path;
  bool analyze = false;
  std::u16string listing;
  bool poll = true;
  std::size_t capacity = 1 << 20;  // longer texts are refused, as the memo would
  int pumps = 0;
  std::function<void()> onPump;
  unsigned columns = 118;

  std::u16string PathText() const override { return path; }
  void SetPathText(const std::u16string& text) override { path = text; }
  bool AnalyzeEnabled() const override { return analyze; }
  void SetAnalyzeEnabled(bool on) override { analyze = on; }
  std::u16string ListingText() const override { return listing; }
  void SetListingText(const std::u16string& text) override {
    listing.clear();
    if (text.size() > capacity) throw workflow::Error(u"Text exceeds memo capacity");
    listing = text;
  }
  bool PollOn() const override { return poll; }
  void SetPollOn(bool on) override { poll = on; }
  void ProcessPendingMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  unsigned ListingColumns() const override { return columns; }
};

struct ShellRequest {
  std::u16string file, params;
  int show;
};

class FakePlatform : public workflow::Platform {
 public:
  std::u16string modulePath = u"C:\\Program Files\\Kestrova\\Kestrova.exe";
  std::u16string temp = u"C:\\Users\\me\\AppData\\Local\\Temp\\";
  std::uint32_t pid = 4242;
  unsigned ansi = 936, oem = 936;
  std::u16string cwd = u"C:\\Program Files\\Kestrova\\";
  std::vector<ShellRequest> shell;
  std::map<std::u16string, std::u16string> childEnvironment;
  std::vector<std::u16string> written;  // every path WriteWhole or a copy targeted
  int reads = 0;
  unsigned paused = 0;  // milliseconds of Pause asked for
  std::function<void()> onPause;

  // Injected failures, by path.
  std::set<std::u16string> cannotCreate;  // WriteWhole: CreateFailed
  std::map<std::u16string, std::size_t> writeLimit;  // WriteWhole: stops after n bytes
  std::set<std::u16string> busy;  // held open by a writer
  std::set<std::u16string> unreadable;  // open fails for another reason
  std::set<std::u16string> cannotMakeDir;
  bool resourceMissing = false;

  FakePlatform() {
    AddDirectory(u"C:");
    AddDirectory(u"C:\\Program Files");
    AddDirectory(u"C:\\Program Files\\Kestrova");
    AddDirectory(temp.substr(0, temp.size() - 1));
    AddFile(modulePath, ToBytes("MZ kestrova"));
    resources[Key(u"TDUMP") + u"|" + Key(u"EXE")] = ToBytes("MZ payload dumper");
  }

  static std::u16string Key(std::u16string_view path) {
    std::u16string k(path);
    for (auto& c : k) {
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
    }
    while (k.size() > 1 && k.back() == u'\\') k.pop_back();
    return k;
  }
  void AddFile(const std::u16string& path, Bytes bytes) { files[Key(path)] = std::move(bytes); }
  void AddDirectory(const std::u16string& path) { dirs.insert(Key(path)); }
  bool HasFile(const std::u16string& path) const { return files.count(Key(path)) != 0; }
  bool HasDirectory(const std::u16string& path) const { return dirs.count(Key(path)) != 0; }
  const Bytes& FileBytes(const std::u16string& path) const { return files.at(Key(path)); }
  std::vector<std::u16string> FilesUnder(const std::u16string& dir) const {
    std::vector<std::u16string> out;
    const auto prefix = Key(dir) + u"\\";
    for (const auto& [k, v] : files) {
      if (k.compare(0, prefix.size(), prefix) == 0) out.push_back(k.substr(prefix.size()));
    }
    return out;
  }
  std::map<std::u16string, Bytes> resources;

  // --- workflow::Platform
  std::u16string ModulePath() override { return modulePath; }
  bool IsFile(const std::u16string& path) override { return HasFile(path); }
  std::optional<Bytes> ReadResource(std::u16string_view name, std::u16string_view type) override {
    if (resourceMissing) return std::nullopt;
    const auto it = resources.find(Key(name) + u"|" + Key(type));
    if (it == resources.end()) return std::nullopt;
    return it->second;
  }
  WriteResult WriteWhole(const std::u16string& path, const Bytes& bytes) override {
    written.push_back(path);
    if (cannotCreate.count(path) || !ParentExists(path) || HasDirectory(path)) {
      return {WriteResult::Status::CreateFailed, u"Access is denied."};
    }
    if (const auto it = writeLimit.find(path); it != writeLimit.end() && it->second < bytes.size()) {
      AddFile(path, Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(it->second)));
      return {WriteResult::Status::WriteFailed, u""};
    }
    AddFile(path, bytes);
    return {};
  }
  bool CopyReplacing(const std::u16string& from, const std::u16string& to) override {
    written.push_back(to);
    if (!HasFile(from) || !ParentExists(to) || busy.count(to)) return false;
    AddFile(to, FileBytes(from));
    return true;
  }
  bool Erase(const std::u16string& path) override {
    if (busy.count(path)) return false;
    return files.erase(Key(path)) != 0;
  }
  Outcome Rename(const std::u16string& from, const std::u16string& to) override {
    if (busy.count(from)) return {Outcome::Status::SharingViolation, u"In use."};
    if (!HasFile(from) || HasFile(to) || !ParentExists(to)) return {Outcome::Status::Failed, u"No."};
    files[Key(to)] = files[Key(from)];
    files.erase(Key(from));
    return {};
  }
  ReadResult ReadDenyingWriters(const std::u16string& path) override {
    ++reads;
    if (busy.count(path)) return {{Outcome::Status::SharingViolation, u"In use."}, {}};
    if (unreadable.count(path) || !HasFile(path)) {
      return {{Outcome::Status::Failed, u"Access is denied."}, {}};
    }
    return {{}, FileBytes(path)};
  }
  bool ChangeDirectory(const std::u16string& path) override {
    if (!HasDirectory(path)) return false;
    cwd = path;
    return true;
  }
  Outcome MakeDirectory(const std::u16string& path) override {
    if (cannotMakeDir.count(path)) return {Outcome::Status::Failed, u"Access is denied."};
    if (HasDirectory(path) || HasFile(path)) return {Outcome::Status::AlreadyExists, u"Exists."};
    if (!ParentExists(path)) return {Outcome::Status::Failed, u"The path was not found."};
    AddDirectory(path);
    return {};
  }
  bool RemoveEmptyDirectory(const std::u16string& path) override {
    if (!FilesUnder(path).empty() || Key(cwd) == Key(path)) return false;
    return dirs.erase(Key(path)) != 0;
  }
  std::u16string TempFolder() override { return temp; }
  std::uint32_t ProcessId() override { return pid; }
  void Pause(unsigned milliseconds) override {
    paused += milliseconds;
    if (onPause) onPause();
  }
  void SetChildEnvironment(const std::u16string& name, const std::u16string& value) override {
    childEnvironment[name] = value;
  }
  bool ShellOpen(const std::u16string& file, const std::u16string& params, int show) override {
    shell.push_back({file, params, show});
    return true;
  }
  unsigned AnsiCodePage() override { return ansi; }
  unsigned OemCodePage() override { return oem; }
  Encoded Encode(unsigned cp, std::u16string_view text) override;
  std::u16string Decode(unsigned cp, std::string_view bytes) override;

 private:
  bool ParentExists(const std::u16string& path) const {
    const auto at = path.find_last_of(u"\\/");
    return at != std::u16string::npos && HasDirectory(path.substr(0, at));
  }
  std::map<std::u16string, Bytes> files;
  std::set<std::u16string> dirs;
};

// Does what cmd would do with the last script the shell was asked to run:
// "tdump.exe IN > OUT" makes OUT in the script's directory, holding `listing`.
// Returns false when the script does not have that form or names a missing IN.
bool RunLastScript(FakePlatform& platform, std::string_view listing);

}  // namespace kestrova::testing
