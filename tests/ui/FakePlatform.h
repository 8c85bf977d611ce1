#pragma once
// A platform that touches nothing: the window tests never stage or run.
#include "workflow/Platform.h"

namespace kestrova::test {

class FakePlatform final : public workflow::Platform {
 public:
  std::u16string ModulePath() override { return u"C:\\k\\Kestrova.exe"; }
  bool IsFile(const std::u16string&) override { return false; }
  std::optional<workflow::Bytes> ReadResource(std::u16string_view, std::u16string_view) override {
    return std::nullopt;
  }
  workflow::WriteResult WriteWhole(const std::u16string&, const workflow::Bytes&) override {
    return {workflow::WriteResult::Status::CreateFailed, u"no"};
  }
  bool CopyReplacing(const std::u16string&, const std::u16string&) override { return false; }
  bool Erase(const std::u16string&) override { return false; }
  workflow::Outcome Rename(const std::u16string&, const std::u16string&) override {
    return workflow::Outcome::Failure(workflow::Outcome::Status::Failed, u"no");
  }
  workflow::ReadResult ReadDenyingWriters(const std::u16string&) override {
    return {workflow::Outcome::Failure(workflow::Outcome::Status::Failed, u"no"), {}};
  }
  bool ChangeDirectory(const std::u16string&) override { return false; }
  workflow::Outcome MakeDirectory(const std::u16string&) override {
    return workflow::Outcome::Failure(workflow::Outcome::Status::Failed, u"no");
  }
  bool RemoveEmptyDirectory(const std::u16string&) override { return false; }
  std::u16string TempFolder() override { return u"C:\\temp\\"; }
  std::uint32_t ProcessId() override { return 1; }
  void Pause(unsigned) override {}
  bool ShellOpen(const std::u16string& file, const std::u16string& params, int show) override {
    opened.push_back(file);
    lastParams = params;
    lastShow = show;
    return true;
  }
  unsigned AnsiCodePage() override { return 1252; }
  unsigned OemCodePage() override { return 437; }
  workflow::Encoded Encode(unsigned, std::u16string_view text) override {
    workflow::Encoded e;
    for (char16_t c : text) e.bytes.push_back(static_cast<char>(c < 0x80 ? c : '?'));
    return e;
  }
  std::u16string Decode(unsigned, std::string_view bytes) override {
    return std::u16string(bytes.begin(), bytes.end());
  }

  std::vector<std::u16string> opened;
  std::u16string lastParams;
  int lastShow = -1;
};

}  // namespace kestrova::test
