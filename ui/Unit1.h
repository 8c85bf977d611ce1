#pragma once
// The main window. Its controls are the workflow's state: Edit1 the path text,
// Button1 Analyze enabled, Memo1 the listing, Timer1 the poll.
#include <windows.h>

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "ui/Layout.h"
#include "workflow/State.h"

namespace kestrova::workflow {
class Platform;
class Workflow;
}  // namespace kestrova::workflow

namespace kestrova::ui {

class Finder;

// Set by FormCreate.
extern std::u16string SoftName;
extern std::u16string SoftTitle;

class TForm1;
// The one main window, from Create until it is destroyed.
extern TForm1* Form1;

// The layout carried by `module` as the RCDATA resource "TFORM1".
FormLayout LoadLayout(HMODULE module);

class TForm1 final : public workflow::State {
 public:
  static constexpr wchar_t kClassName[] = L"TForm1";
  static constexpr UINT_PTR kTimer1 = 1;
  // Posted to itself: open the file that came from outside (command line,
  // another copy), once the window runs its message loop.
  static constexpr UINT kOpenPending = WM_APP + 1;

  // Builds the window and its controls from `layout`, starts Timer1 and runs
  // FormCreate, all before it returns; the window is not shown yet. Throws on
  // a layout it cannot build.
  static std::unique_ptr<TForm1> Create(HINSTANCE instance, const FormLayout& layout,
                                        workflow::Platform& platform);
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  void Show(int how);
  HWND Handle() const { return hwnd_; }
  // A control by its layout name; null when there is none.
  HWND Control(std::u16string_view name) const;

  void FormCreate();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Timer1Timer();
  // Ctrl+D and the system menu's "比较...": the file on show against a second
  // one the user picks in the same dialog as Browse.
  void CompareClick();

  // A file from outside the dialog (a drop, the command line, another copy):
  // staged as if chosen with Browse, then analysed. Throws workflow::Error,
  // before anything is staged when the file cannot be read.
  void OpenFile(const std::u16string& path);
  // OpenFile(path) from the message loop.
  void OpenWhenRunning(const std::u16string& path);
  // The window's shortcuts (Ctrl+F, F3, Shift+F3, Ctrl+S, Ctrl+G, Ctrl+D, Ctrl+A in the memo)
  // and the Find dialog's keyboard; true when `msg` was taken.
  bool PreTranslate(MSG& msg);

  // workflow::State
  std::u16string PathText() const override;
  void SetPathText(const std::u16string& text) override;
  bool AnalyzeEnabled() const override;
  void SetAnalyzeEnabled(bool on) override;
  std::u16string ListingText() const override;
  void SetListingText(const std::u16string& text) override;
  bool PollOn() const override;
  void SetPollOn(bool on) override;
  void ProcessPendingMessages() override;
  unsigned ListingColumns() const override;

  // The system menu's entries of our own (their low four bits stay clear, as
  // WM_SYSCOMMAND wants).
  static constexpr UINT kGoToCommand = 0x0100;
  static constexpr UINT kCompareCommand = 0x0110;
  static constexpr wchar_t kCompareMenuText[] = L"比较...\tCtrl+D";

 private:
  TForm1(HINSTANCE instance, workflow::Platform& platform);
  void Build(const FormLayout& layout);
  HWND BuildControl(const ControlSpec& entry, HWND parent, int id);
  void ShowPage(int index);
  // The file-open dialog of Browse; nullopt when it is cancelled.
  std::optional<std::u16string> AskForFile();
  LRESULT Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

  HINSTANCE instance_;
  workflow::Platform& platform_;
  std::unique_ptr<workflow::Workflow> workflow_;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  std::map<std::u16string, HWND, std::less<>> controls_;
  std::map<int, std::u16string> ids_;
  std::vector<HWND> pages_;
  HWND edit1_ = nullptr, memo1_ = nullptr, button1_ = nullptr, editSoftVer_ = nullptr;
  HWND pageControl_ = nullptr;
  bool pollOn_ = false;
  bool quitOnDestroy_ = true;
  unsigned fillGeneration_ = 0;
  std::unique_ptr<Finder> finder_;
  std::u16string pendingFile_;
};

// GetMessage until WM_QUIT, with the keyboard navigation of a dialog.
int RunMessageLoop(HWND main);

}  // namespace kestrova::ui
