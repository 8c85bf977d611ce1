#pragma once
// Shared pieces of the Wine tests: an in-memory State and small file helpers.
#include <windows.h>

#include <string>
#include <vector>

#include "workflow/State.h"

namespace kestrova::winetest {

class MemoryState : public workflow::State {
 public:
  std::u16string path, listing;
  bool analyze = false, poll = true;

  std::u16string PathText() const override { return path; }
  void SetPathText(const std::u16string& text) override { path = text; }
  bool AnalyzeEnabled() const override { return analyze; }
  void SetAnalyzeEnabled(bool on) override { analyze = on; }
  std::u16string ListingText() const override { return listing; }
  void SetListingText(const std::u16string& text) override { listing = text; }
  bool PollOn() const override { return poll; }
  void SetPollOn(bool on) override { poll = on; }
  void ProcessPendingMessages() override;
};

std::wstring W(const std::u16string& s);
std::u16string U(const std::wstring& s);

// A directory of the test's own under the temporary folder, removed at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::u16string& path() const { return path_; }  // with trailing "\"

 private:
  std::u16string path_;
};

bool WriteBytes(const std::u16string& path, const std::string& bytes);
// Empty when the file cannot be read.
std::string ReadBytes(const std::u16string& path);
bool DirectoryExists(const std::u16string& path);
// Names, sizes and write times of everything directly in `dir`.
std::vector<std::wstring> DescribeDirectory(const std::u16string& dir);
// The running test program's own directory, with trailing "\".
std::u16string OwnDirectory();

}  // namespace kestrova::winetest
