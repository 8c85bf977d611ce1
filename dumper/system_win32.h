#pragma once
// The Dependencies part's Win32 half: the running system's folders and
// KnownDLLs, and its files read through mappings. No windows.h here.
#include <memory>
#include <string>

#include "dumper/system/Files.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::win32 {

std::unique_ptr<system::Files> SystemFiles();
// The running system: its Windows, system and SysWOW64 folders, KnownDLLs from
// the registry, and the folders of PATH.
system::SystemView RunningSystem(system::Files& files);
// The application folder the window passes down (KESTROVA_APP_DIR), which is
// where the user's file came from, not the work folder its copy was staged in.
std::string AppDirFromEnvironment();
// An environment variable's value as UTF-8, empty when it is not set.
std::string EnvironmentValue(const wchar_t* name);
// The user's interface language as a tag ("zh-CN"), or empty.
std::string UserUiLanguage();

}  // namespace kestrova::dumper::win32
