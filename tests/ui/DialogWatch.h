#pragma once
// Watches for a modal dialog from a second thread, reads it and closes it, so
// that tests can check what the user would see.
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

namespace kestrova::test {

struct SeenDialog {
  bool found = false;
  std::wstring caption;
  std::vector<std::wstring> texts;    // static controls
  std::vector<std::wstring> buttons;  // push buttons
  bool hasErrorIcon = false;          // an SS_ICON static
  int ownerDrawButtons = 0;
  bool Shows(const std::wstring& s) const;
};

class DialogWatch {
 public:
  // Starts watching for a top-level dialog of this caption owned by this process;
  // presses the button whose text is `press` (or the first one) when it appears.
  DialogWatch(std::wstring caption, std::wstring press = L"");
  ~DialogWatch();
  // Joins the watcher; what it saw.
  const SeenDialog& Result();

 private:
  std::wstring caption_, press_;
  SeenDialog seen_;
  std::thread thread_;
};

}  // namespace kestrova::test
