#pragma once
// The skin facility: finds the styles carried as "VCLSTYLE" resources,
// applies one by name, and paints the controls that the window hands it.
#include <windows.h>

#include <string>
#include <string_view>

#include "ui/Style.h"

namespace kestrova::ui::skin {

// Case-insensitive equality by the user's locale rules.
bool SameStyleName(std::u16string_view a, std::u16string_view b);

// Registers every "VCLSTYLE" resource of `module` that parses; ones that do
// not are skipped, since a broken resource must not stop start-up. Returns
// how many were registered.
std::size_t LoadStyles(HMODULE module, StyleRegistry& registry);

// The "style not found" dialog: caption "Error", error icon, one "&Close"
// button. Uses a task dialog where the common controls provide one.
void ReportStyleNotFound(HWND owner, std::u16string_view name, bool allowTaskDialog = true);

// Looks through `module` (the program when null) the first time it is called,
// then makes the named style the active one. Returns false, after the dialog
// when `reportErrors`, if no style of that name is registered; the system's
// look stays then.
bool Apply(std::u16string_view name, bool reportErrors, HMODULE module = nullptr);
// The active style, or null for the system's look.
const Style* Active();
// Forgets the loaded styles and the active one (tests).
void Reset();

// Painting, all for the active style; callers check Active() first.
HBRUSH Brush(Rgb colour);
void DrawButton(const Style& s, const DRAWITEMSTRUCT& item, bool hot);
void DrawTab(const Style& s, HDC dc, RECT rc, std::wstring_view text, bool selected, bool focused);
// Subclasses a push button so that it repaints when the mouse enters or leaves.
void TrackHot(HWND button);
bool IsHot(HWND button);
// Takes over the painting of a group box, a tab control or a status bar.
void SkinGroupBox(HWND group);
void SkinTabControl(HWND tabs);
void SkinStatusBar(HWND status);
// Border colour for an edit; the scroll bar goes dark where the system offers it.
void SkinEdit(HWND edit);
// Dark caption where the system offers one.
void DarkFrame(HWND window);

// MessageBoxW, painted in the active style when there is one.
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type);

}  // namespace kestrova::ui::skin
