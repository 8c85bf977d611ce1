#pragma once
// Ways a file reaches the window besides Browse: a drop, the command line
// (Explorer's "Open with" and "Send to", a drop on the program's icon) and a
// second copy handing its file over.
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrova::ui {

// The first argument after the program's name, made absolute against the
// current directory; none when there is no argument. Others are ignored.
std::optional<std::u16string> FileFromCommandLine(const wchar_t* commandLine);

// The files of a drop, in the order the shell gives them.
std::vector<std::u16string> DroppedFiles(HDROP drop);

// The first of `paths` that is a file that can be opened for reading. When
// there is none, throws workflow::Error "Cannot open file "<first>". <the
// system's reason>" (a folder gives the reason the system gives for it).
std::u16string FirstReadableFile(const std::vector<std::u16string>& paths);

// Sends `path` to the main window of the copy that already runs and lets
// that copy come to the front; false when there is no such window.
bool HandToRunningCopy(const std::u16string& path);

// The path a WM_COPYDATA from HandToRunningCopy carries; none for anything else.
std::optional<std::u16string> PathFromCopyData(const COPYDATASTRUCT& data);

}  // namespace kestrova::ui
