#pragma once
// The workflow's platform operations on Win32, wide-character APIs throughout.
#include <windows.h>

#include "workflow/Platform.h"

namespace kestrova::platform {

class Win32Platform final : public workflow::Platform {
 public:
  Win32Platform() = default;

  // Owner window of shell requests (and of whatever the shell shows).
  void SetOwner(HWND owner) { owner_ = owner; }

  std::u16string ModulePath() override;
  bool IsFile(const std::u16string& path) override;
  std::optional<workflow::Bytes> ReadResource(std::u16string_view name,
                                              std::u16string_view type) override;
  workflow::WriteResult WriteWhole(const std::u16string& path,
                                   const workflow::Bytes& bytes) override;
  bool CopyReplacing(const std::u16string& from, const std::u16string& to) override;
  bool Erase(const std::u16string& path) override;
  workflow::Outcome Rename(const std::u16string& from, const std::u16string& to) override;
  workflow::ReadResult ReadDenyingWriters(const std::u16string& path) override;
  bool ChangeDirectory(const std::u16string& path) override;
  workflow::Outcome MakeDirectory(const std::u16string& path) override;
  bool RemoveEmptyDirectory(const std::u16string& path) override;
  std::u16string TempFolder() override;
  std::uint32_t ProcessId() override;
  void Pause(unsigned milliseconds) override;
  void SetChildEnvironment(const std::u16string& name, const std::u16string& value) override;
  bool ShellOpen(const std::u16string& file, const std::u16string& params, int show) override;
  unsigned AnsiCodePage() override;
  unsigned OemCodePage() override;
  workflow::Encoded Encode(unsigned codePage, std::u16string_view text) override;
  std::u16string Decode(unsigned codePage, std::string_view bytes) override;

  // The system's text for an error code, without its trailing line break.
  static std::u16string SystemText(DWORD code);

 private:
  HWND owner_ = nullptr;
};

}  // namespace kestrova::platform
