#pragma once
// Which installed face stands for the layout's font.
#include <windows.h>

#include <string>

namespace kestrova::ui {

struct FontChoice {
  std::wstring face;
  BYTE charset;
};

// The layout's face (with ANSI_CHARSET) where it is installed; else a face
// that renders Chinese (with GB2312_CHARSET), those close to SimSun first.
FontChoice ChooseFace(const std::wstring& wanted);

}  // namespace kestrova::ui
