#pragma once
// One running copy of Kestrova.exe as the user would meet it, seen only from
// outside: started from a private copy of the program with a private TEMP, its
// window and controls found, its buttons pressed, its dialogs answered.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/Remote.h"

namespace kestrova::e2e {

inline constexpr wchar_t kTitle[] = L".Exe或.Dll文件结构函数、过程列表查看器";
inline constexpr wchar_t kWaitingLine[] = L"请稍候正在分析...";

// Set once from the command line.
struct Config {
  std::wstring kestrova;  // Windows path of Kestrova.exe
  std::wstring recorder;  // Windows path of UrlRecorder.exe
};
Config& config();

// The controls of the main window, found by kind and text, not by identifiers
// (the program is free to number them as it likes).
struct Controls {
  HWND form = nullptr;
  HWND tab = nullptr;
  HWND group1 = nullptr;
  HWND group2 = nullptr;
  HWND edit1 = nullptr;
  HWND browse = nullptr;   // Button3
  HWND analyze = nullptr;  // Button1
  HWND update = nullptr;   // Button2
  HWND memo = nullptr;
  HWND label2 = nullptr;
  HWND status = nullptr;
  HWND softVer = nullptr;  // Edit_SoftVer
};
// Empty when every control was found, else what is missing.
std::string FindControls(HWND form, Controls& out);

// A directory tree of one scenario, removed at the end.
class Scratch {
 public:
  explicit Scratch(const std::string& name);
  ~Scratch();
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  const std::wstring& root() const { return root_; }  // with trailing '\'
  std::wstring Dir(const std::wstring& sub) const;    // made on first use

 private:
  std::wstring root_;
};

void RemoveTree(const std::wstring& dir);
std::vector<std::wstring> ListDir(const std::wstring& dir);  // names, "." and ".." left out
bool IsDirectory(const std::wstring& path);
bool CopyOf(const std::wstring& from, const std::wstring& to);
bool WriteBytes(const std::wstring& path, const std::string& bytes);
std::optional<std::string> ReadBytes(const std::wstring& path);
FILETIME WriteTime(const std::wstring& path);

// The listing bytes decoded as the program shows them: by the byte-order mark,
// else the ANSI code page; every line break made CR LF.
std::wstring DecodeListing(const std::string& bytes);

// The listing that the dump tool carried inside Kestrova.exe gives for
// dir + name, run the way the program runs it (bare name, dir as current
// directory, in the window's language and to the width of `memo` in
// characters). Empty optional with `why` set when it could not be made.
std::optional<std::wstring> ExpectedListing(const std::wstring& dir, const std::wstring& name, HWND memo,
                                            std::string* why);
// The characters a line of `memo` holds, measured from outside as the window
// measures it: its text rectangle over the width of one character of its font.
unsigned MemoColumns(HWND memo);

class Kestrova {
 public:
  // `temp` is the TEMP/TMP the program gets; empty means scratch's own.
  explicit Kestrova(Scratch& scratch, std::wstring temp = L"");
  ~Kestrova();
  Kestrova(const Kestrova&) = delete;
  Kestrova& operator=(const Kestrova&) = delete;

  // Launches (with `args` on the command line) and waits for the visible
  // main window. Empty on success.
  std::string Start(const std::wstring& args = L"");
  // Launches only.
  void Launch(const std::wstring& args = L"");
  // Asks the window to close and waits for the process to end; kills it after
  // `limit`. True when it ended by itself.
  bool Close(Ms limit = Ms(15000));

  Process& process() { return process_; }
  const Controls& c() const { return controls_; }
  const std::wstring& appDir() const { return appDir_; }
  const std::wstring& temp() const { return temp_; }
  // The work area: the one directory the program made under its TEMP.
  std::vector<std::wstring> WorkAreas() const;

  // Presses "浏览" and answers the real file-open dialog with `path`. Empty on
  // success, which means the dialog closed and Edit1 shows the path.
  std::string BrowseTo(const std::wstring& path);
  // Answers the file dialog (open or save) that the main window owns with
  // `path`. Empty on success, which means the dialog closed; `proposed` gets
  // the name the dialog offered first, `types` the file types it offered.
  // `type` (1 for the first) is picked before the name is given; 0 keeps the
  // dialog's choice.
  std::string AnswerFileDialog(const std::wstring& path, std::wstring* proposed = nullptr,
                               int type = 0, std::vector<std::wstring>* types = nullptr);
  // Presses "分析" and returns at once after the click was handled.
  bool ClickAnalyze();
  // Waits until the memo holds something other than the waiting line.
  std::optional<std::wstring> WaitListing(Ms limit);
  // A visible top-level window of the program other than the main window
  // whose caption is `caption`: a message box.
  HWND WaitBox(const std::wstring& caption, Ms limit);

 private:
  Scratch& scratch_;
  std::wstring appDir_;
  std::wstring temp_;
  std::wstring exe_;
  Process process_;
  Controls controls_;
};

// Presses `key` (with Ctrl and Shift held when asked) as the keyboard does,
// into `w`'s top-level window, made the foreground window first.
bool PressKey(HWND w, WORD key, bool ctrl = false, bool shift = false);

// Texts of a message box: the static text, the buttons' captions, and whether
// it shows an icon that is mostly red (the error icon).
struct BoxContent {
  std::wstring text;
  std::vector<std::wstring> buttons;
  bool hasIcon = false;
  bool iconIsRed = false;
};
BoxContent ReadBox(HWND box);

// The average colour of what the screen shows inside `w`'s rectangle.
COLORREF AverageColour(HWND w);

// The same, once `w` has been painted: a loaded machine may leave a fresh
// window black, or half painted, for seconds, so this asks for repaints until
// the average is no longer the black of an unpainted screen and `looks` holds
// (when given), or `limit` passes; then it gives the last average.
COLORREF PaintedColour(HWND w, Ms limit, bool (*looks)(COLORREF) = nullptr);

}  // namespace kestrova::e2e
