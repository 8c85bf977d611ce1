#pragma once
// Keeping the listing: the system's Save As dialog and a write that never
// leaves half a file behind.
#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

#include "workflow/Platform.h"

namespace kestrova::ui {

// The file's bytes: the UTF-8 byte-order mark, then `text` in UTF-8 with
// every line end (CR LF, lone CR, lone LF) written as CR LF.
std::string ListingBytes(std::u16string_view text);

// Writes ListingBytes(text) to a temporary file beside `target` and renames
// it over `target`, so that a failed write leaves any older file untouched.
// Throws workflow::Error "Cannot create file "<target>". <system's reason>".
void WriteListingFile(const std::u16string& target, std::u16string_view text);
// The same for bytes written as they are.
void WriteFileReplacing(const std::u16string& target, std::string_view bytes);

// The Save dialog's second file type.
inline constexpr wchar_t kDefinitionType[] = L"模块定义文件 (*.def)";

// Ctrl+S: proposes "<name of the chosen file>.txt" in the Documents folder
// and writes `text` where the user says. Nothing happens for an empty text
// or a cancelled dialog. Throws as WriteListingFile. When the user picks the
// .def type instead, `definition` makes the file (it throws workflow::Error,
// whose message a box then shows) and that is written.
void SaveListing(HWND owner, std::u16string_view text, std::u16string_view chosenPath,
                 const std::function<workflow::Bytes()>& definition);

}  // namespace kestrova::ui
