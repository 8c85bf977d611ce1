#include "ui/Unit1.h"

#include <commctrl.h>
#include <commdlg.h>

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "dumper/banner.h"
#include "ui/ErrorBox.h"
#include "ui/FaceChoice.h"
#include "ui/Find.h"
#include "ui/GoTo.h"
#include "ui/MemoFill.h"
#include "ui/Save.h"
#include "ui/WaysIn.h"
#include "ui/Skin.h"
#include "workflow/Error.h"
#include "workflow/Workflow.h"

namespace kestrova::ui {

std::u16string SoftName;
std::u16string SoftTitle;
TForm1* Form1 = nullptr;

namespace {

constexpr wchar_t kPageClass[] = L"TTabSheet";
constexpr UINT_PTR kForwardId = 0x4B46;  // "KF"
constexpr int kFirstId = 1000;

const wchar_t* W(const std::u16string& s) { return reinterpret_cast<const wchar_t*>(s.c_str()); }

std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }

std::u16string TextOf(HWND hwnd) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return U(text);
}

std::u16string Banner() {
  std::u16string out;
  for (char c : dumper::kBanner) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
  return out;
}

// Containers pass their children's notifications and colour requests up to
// the form, which owns every handler and the skin's painting.
bool GoesToForm(UINT msg) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_DRAWITEM:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      return true;
    default:
      return false;
  }
}

LRESULT CALLBACK ForwardProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  if (GoesToForm(msg)) return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
  switch (msg) {
    case WM_NCDESTROY:
      RemoveWindowSubclass(hwnd, ForwardProc, kForwardId);
      break;
    default:
      break;
  }
  return DefSubclassProc(hwnd, msg, wp, lp);
}

LRESULT CALLBACK PageProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (GoesToForm(msg)) return SendMessageW(GetAncestor(hwnd, GA_ROOT), msg, wp, lp);
  switch (msg) {
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd, &rc);
      const Style* s = skin::Active();
      FillRect(reinterpret_cast<HDC>(wp), &rc, s ? skin::Brush(s->face) : GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    default:
      return DefWindowProcW(hwnd, msg, wp, lp);
  }
}

}  // namespace

FormLayout LoadLayout(HMODULE module) {
  HRSRC res = FindResourceW(module, L"TFORM1", MAKEINTRESOURCEW(10));  // RT_RCDATA
  HGLOBAL data = res ? LoadResource(module, res) : nullptr;
  const void* bytes = data ? LockResource(data) : nullptr;
  if (!bytes) throw workflow::Error(u"Resource TFORM1 not found");
  return ParseLayout(std::string_view(static_cast<const char*>(bytes), SizeofResource(module, res)));
}

TForm1::TForm1(HINSTANCE instance, workflow::Platform& platform)
    : instance_(instance), platform_(platform) {}

TForm1::~TForm1() {
  finder_.reset();
  // The workflow removes its work area; it may still ask the state for values.
  workflow_.reset();
  // Destroyed by its owner rather than closed by the user: no quit to post.
  quitOnDestroy_ = false;
  if (hwnd_) DestroyWindow(hwnd_);
  if (font_) DeleteObject(font_);
  if (Form1 == this) Form1 = nullptr;
}

std::unique_ptr<TForm1> TForm1::Create(HINSTANCE instance, const FormLayout& layout,
                                       workflow::Platform& platform) {
  std::unique_ptr<TForm1> form(new TForm1(instance, platform));
  form->Build(layout);
  form->finder_ = std::make_unique<Finder>(form->hwnd_, form->memo1_);
  DragAcceptFiles(form->hwnd_, TRUE);
  form->workflow_ = std::make_unique<workflow::Workflow>(*form, platform);
  form->SetPollOn(true);
  Form1 = form.get();
  form->FormCreate();
  return form;
}

void TForm1::Build(const FormLayout& layout) {
  static const bool registered = [this] {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = Proc;
    wc.hInstance = instance_;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(instance_, L"MAINICON");
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance_, L"MAINICON", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.lpszClassName = kClassName;
    WNDCLASSEXW page{};
    page.cbSize = sizeof page;
    page.lpfnWndProc = PageProc;
    page.hInstance = instance_;
    page.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    page.lpszClassName = kPageClass;
    return RegisterClassExW(&wc) != 0 && RegisterClassExW(&page) != 0;
  }();
  if (!registered) throw std::runtime_error("cannot register the window classes");

  const ControlSpec& f = layout.form;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  // The main window is unowned, so it carries the taskbar button itself.
  const DWORD exStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT;
  RECT rc{0, 0, f.width, f.height};
  AdjustWindowRectEx(&rc, style, FALSE, exStyle);
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  int x = CW_USEDEFAULT, y = CW_USEDEFAULT;
  if (f.Has(u"centred")) {
    x = (GetSystemMetrics(SM_CXSCREEN) - w) / 2;
    y = (GetSystemMetrics(SM_CYSCREEN) - h) / 2;
  }
  hwnd_ = CreateWindowExW(exStyle, kClassName, W(f.text), style, x, y, w, h, nullptr, nullptr, instance_, this);
  if (!hwnd_) throw std::runtime_error("cannot create the main window");
  if (skin::Active()) skin::DarkFrame(hwnd_);

  const std::u16string face = f.Option(u"font", u"宋体");
  const std::u16string heightText = f.Option(u"fontheight", u"-12");
  const int height = std::stoi(std::string(heightText.begin(), heightText.end()));
  const FontChoice choice = ChooseFace(std::wstring(face.begin(), face.end()));
  font_ = CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, choice.charset, OUT_DEFAULT_PRECIS,
                      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, choice.face.c_str());
  SendMessageW(hwnd_, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  controls_.emplace(f.name, hwnd_);
  int id = kFirstId;
  for (const auto& entry : layout.controls) {
    const auto parent = controls_.find(entry.parent);
    HWND child = BuildControl(entry, parent->second, id);
    if (!child) throw std::runtime_error("cannot create control " + std::string(entry.name.begin(), entry.name.end()));
    controls_.emplace(entry.name, child);
    ids_.emplace(id, entry.name);
    ++id;
  }

  // Tab order follows the siblings' z-order: restack each parent's children by
  // their tab order, the first at the top. Creation order breaks ties.
  std::map<HWND, std::vector<const ControlSpec*>> byParent;
  for (const auto& entry : layout.controls) byParent[controls_.find(entry.parent)->second].push_back(&entry);
  for (auto& [parent, children] : byParent) {
    std::stable_sort(children.begin(), children.end(),
                     [](const ControlSpec* a, const ControlSpec* b) { return a->tabOrder < b->tabOrder; });
    for (const ControlSpec* c : children)
      SetWindowPos(controls_.find(c->name)->second, HWND_BOTTOM, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER);
  }

  for (size_t i = 0; i < pages_.size(); ++i)
    if (GetWindowLongPtrW(pages_[i], GWL_STYLE) & WS_VISIBLE) ShowPage(static_cast<int>(i));

  // What the window can do beyond its buttons, where a keyboard user looks for it.
  if (HMENU menu = GetSystemMenu(hwnd_, FALSE)) {
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kGoToCommand, kGoToMenuText);
    AppendMenuW(menu, MF_STRING, kCompareCommand, kCompareMenuText);
  }
}

HWND TForm1::BuildControl(const ControlSpec& entry, HWND parent, int id) {
  const bool skinned = skin::Active() != nullptr;
  const std::wstring text(entry.text.begin(), entry.text.end());
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS;
  if (!entry.Has(u"hidden")) style |= WS_VISIBLE;
  if (entry.Has(u"disabled")) style |= WS_DISABLED;
  DWORD ex = 0;
  const wchar_t* cls = nullptr;
  const auto& kind = entry.kind;
  if (kind == u"tabs") {
    cls = WC_TABCONTROLW;
    style |= WS_TABSTOP | WS_CLIPCHILDREN | TCS_FOCUSONBUTTONDOWN;
    if (entry.Has(u"buttons")) style |= TCS_BUTTONS;
    if (skinned) style |= TCS_OWNERDRAWFIXED;
    ex = WS_EX_CONTROLPARENT;
  } else if (kind == u"page") {
    cls = kPageClass;
    style = WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS | (entry.Has(u"active") ? WS_VISIBLE : 0);
    ex = WS_EX_CONTROLPARENT;
  } else if (kind == u"group") {
    cls = L"Button";
    style |= BS_GROUPBOX | WS_CLIPCHILDREN;
    ex = WS_EX_CONTROLPARENT;
  } else if (kind == u"edit") {
    cls = L"Edit";
    style |= WS_TABSTOP | ES_AUTOHSCROLL;
    if (entry.Has(u"readonly")) style |= ES_READONLY;
    ex = WS_EX_CLIENTEDGE;
  } else if (kind == u"memo") {
    cls = L"Edit";
    style |= WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | ES_NOHIDESEL;
    if (entry.Has(u"vscroll")) style |= WS_VSCROLL;
    if (!entry.Has(u"wordwrap")) style |= WS_HSCROLL | ES_AUTOHSCROLL;
    ex = WS_EX_CLIENTEDGE;
  } else if (kind == u"button") {
    cls = L"Button";
    style |= WS_TABSTOP | (skinned ? BS_OWNERDRAW : BS_PUSHBUTTON);
  } else if (kind == u"label") {
    cls = L"Static";
    style |= SS_NOPREFIX | static_cast<DWORD>(entry.Has(u"wordwrap") ? SS_LEFT : SS_LEFTNOWORDWRAP);
  } else if (kind == u"status") {
    cls = STATUSCLASSNAMEW;
    // Placed by the layout, not by the status bar's own docking.
    style |= CCS_NOPARENTALIGN | CCS_NORESIZE | CCS_NODIVIDER;
  } else {
    return nullptr;
  }

  const bool isStatus = kind == u"status";
  HWND hwnd = CreateWindowExW(ex, cls, isStatus ? L"" : text.c_str(), style, entry.left, entry.top, entry.width,
                              entry.height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                              nullptr);
  if (!hwnd) return nullptr;
  SendMessageW(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);

  if (kind == u"tabs") {
    pageControl_ = hwnd;
    if (skinned) skin::SkinTabControl(hwnd);
  } else if (kind == u"page") {
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    std::wstring caption = text;
    item.pszText = caption.data();
    const auto index = static_cast<int>(pages_.size());
    SendMessageW(parent, TCM_INSERTITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    pages_.push_back(hwnd);
  } else if (kind == u"group") {
    SetWindowSubclass(hwnd, ForwardProc, kForwardId, 0);
    if (skinned) skin::SkinGroupBox(hwnd);
  } else if (kind == u"edit" || kind == u"memo") {
    if (kind == u"memo") {
      // Zero lifts the limit to the control's maximum; the default 32K
      // characters would refuse most listings.
      SendMessageW(hwnd, EM_SETLIMITTEXT, 0, 0);
      PrepareMemo(hwnd);
      memo1_ = hwnd;
    }
    if (skinned) skin::SkinEdit(hwnd);
  } else if (kind == u"button") {
    if (skinned) skin::TrackHot(hwnd);
  } else if (kind == u"label" && entry.Has(u"autoheight")) {
    HDC dc = GetDC(hwnd);
    HGDIOBJ old = SelectObject(dc, font_);
    RECT rc{0, 0, entry.width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rc, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, old);
    ReleaseDC(hwnd, dc);
    SetWindowPos(hwnd, nullptr, 0, 0, entry.width, std::max(entry.height, static_cast<int>(rc.bottom)),
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  } else if (isStatus) {
    // One panel; as the last one it runs to the right edge.
    int right = -1;
    SendMessageW(hwnd, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(&right));
    const std::u16string panel = entry.text + Banner();
    SendMessageW(hwnd, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(W(panel)));
    if (skinned) skin::SkinStatusBar(hwnd);
  }
  if (entry.name == u"Edit1") edit1_ = hwnd;
  if (entry.name == u"Button1") button1_ = hwnd;
  if (entry.name == u"Edit_SoftVer") editSoftVer_ = hwnd;
  return hwnd;
}

void TForm1::ShowPage(int index) {
  if (index < 0 || static_cast<size_t>(index) >= pages_.size()) return;
  SendMessageW(pageControl_, TCM_SETCURSEL, static_cast<WPARAM>(index), 0);
  for (size_t i = 0; i < pages_.size(); ++i)
    ShowWindow(pages_[i], static_cast<int>(i) == index ? SW_SHOW : SW_HIDE);
}

void TForm1::Show(int how) {
  ShowWindow(hwnd_, how);
  UpdateWindow(hwnd_);
}

HWND TForm1::Control(std::u16string_view name) const {
  const auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void TForm1::FormCreate() {
  SoftName = u"Kestrova";
  SoftTitle = u".Exe或.Dll文件结构函数、过程列表查看器";
  const std::u16string caption = SoftTitle + TextOf(editSoftVer_);
  SetWindowTextW(hwnd_, W(caption));
  if (!pages_.empty()) {
    std::wstring text(SoftTitle.begin(), SoftTitle.end());
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageW(pageControl_, TCM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
}

void TForm1::Button1Click() { workflow_->Analyze(); }

void TForm1::Button2Click() { workflow::OpenUpdatePage(platform_, SoftName, TextOf(editSoftVer_)); }

void TForm1::Button3Click() { workflow_->Browse(AskForFile()); }

void TForm1::CompareClick() {
  // Nothing on show: nothing to compare with, and no dialog to answer first.
  workflow_->CheckComparable();
  workflow_->Compare(AskForFile());
}

std::optional<std::u16string> TForm1::AskForFile() {
  // The dialog wants the filter's parts NUL-separated and doubly terminated.
  std::wstring filter(std::begin(workflow::kOpenFilter), std::end(workflow::kOpenFilter) - 1);
  std::replace(filter.begin(), filter.end(), L'|', L'\0');
  filter.append(2, L'\0');
  std::wstring file(32768, L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = hwnd_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING;
  std::optional<std::u16string> chosen;
  if (GetOpenFileNameW(&ofn)) {
    file.resize(wcslen(file.c_str()));
    chosen = U(file);
  }
  return chosen;
}

void TForm1::Timer1Timer() {
  // A failing tick reports while it still counts as running, so the ticks
  // that arrive while its box is open do not stack more boxes.
  workflow_->Tick([this](const workflow::Error& e) { ShowErrorBox(hwnd_, e.message()); });
}

void TForm1::OpenFile(const std::u16string& path) {
  workflow_->Browse(FirstReadableFile({path}));
  Button1Click();
}

void TForm1::OpenWhenRunning(const std::u16string& path) {
  pendingFile_ = path;
  PostMessageW(hwnd_, kOpenPending, 0, 0);
}

bool TForm1::PreTranslate(MSG& msg) {
  if (!hwnd_) return false;
  HWND dialog = finder_ ? finder_->Dialog() : nullptr;
  const bool ours = msg.hwnd == hwnd_ || IsChild(hwnd_, msg.hwnd);
  const bool inDialog = dialog && (msg.hwnd == dialog || IsChild(dialog, msg.hwnd));
  if (msg.message == WM_KEYDOWN && (ours || inDialog)) {
    const bool ctrl = GetKeyState(VK_CONTROL) < 0, shift = GetKeyState(VK_SHIFT) < 0;
    const bool alt = GetKeyState(VK_MENU) < 0;
    bool taken = true;
    Guarded(hwnd_, [&] {
      if (msg.wParam == VK_F3 && !ctrl && !alt) {
        finder_->Repeat(!shift);
      } else if (ours && ctrl && !alt && !shift && msg.wParam == 'F') {
        finder_->Open();
      } else if (ours && ctrl && !alt && !shift && msg.wParam == 'S') {
        SaveListing(hwnd_, ListingText(), PathText(), [&] { return workflow_->ModuleDefinition(); });
      } else if (ours && ctrl && !alt && !shift && msg.wParam == 'G') {
        GoToPart(hwnd_, memo1_, font_);
      } else if (ours && ctrl && !alt && !shift && msg.wParam == 'D') {
        CompareClick();
      } else if (ours && ctrl && !alt && !shift && msg.wParam == 'A' && GetFocus() == memo1_) {
        SendMessageW(memo1_, EM_SETSEL, 0, -1);
      } else {
        taken = false;
      }
    });
    if (taken) return true;
  }
  return inDialog && IsDialogMessageW(dialog, &msg);
}

std::u16string TForm1::PathText() const { return TextOf(edit1_); }
void TForm1::SetPathText(const std::u16string& text) { SetWindowTextW(edit1_, W(text)); }
bool TForm1::AnalyzeEnabled() const { return IsWindowEnabled(button1_) != FALSE; }

void TForm1::SetAnalyzeEnabled(bool on) {
  // A disabled button cannot keep the focus: hand it on, as a dialog would.
  if (!on && GetFocus() == button1_) SendMessageW(hwnd_, WM_NEXTDLGCTL, 0, FALSE);
  EnableWindow(button1_, on ? TRUE : FALSE);
}

std::u16string TForm1::ListingText() const { return TextOf(memo1_); }

void TForm1::SetListingText(const std::u16string& text) {
  const unsigned generation = ++fillGeneration_;
  const bool done = FillMemo(memo1_, text, [&] {
    ProcessPendingMessages();
    return generation == fillGeneration_ && hwnd_ && IsWindow(memo1_);
  });
  if (done && static_cast<std::size_t>(GetWindowTextLengthW(memo1_)) != std::min(text.size(), text.find(u'\0')))
    throw workflow::Error(u"Text exceeds memo capacity");
}

bool TForm1::PollOn() const { return pollOn_; }

unsigned TForm1::ListingColumns() const { return MemoColumns(memo1_, font_); }

void TForm1::SetPollOn(bool on) {
  if (on == pollOn_) return;  // an running poll keeps its rhythm
  if (on) {
    SetTimer(hwnd_, kTimer1, workflow::kPollIntervalMs, nullptr);
  } else {
    KillTimer(hwnd_, kTimer1);
  }
  pollOn_ = on;
}

void TForm1::ProcessPendingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // Leave it for the message loop, which ends the program.
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    HWND dialog = finder_ ? finder_->Dialog() : nullptr;
    if (dialog && IsDialogMessageW(dialog, &msg)) continue;
    if (!hwnd_ || !IsDialogMessageW(hwnd_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

LRESULT CALLBACK TForm1::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* form = static_cast<TForm1*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    form->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  auto* form = reinterpret_cast<TForm1*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!form) return DefWindowProcW(hwnd, msg, wp, lp);
  LRESULT result = 0;
  bool handled = false;
  // Nothing may escape into the system's dispatch: a failure that a handler
  // lets through ends in the error box.
  Guarded(hwnd, [&] {
    result = form->Handle(hwnd, msg, wp, lp);
    handled = true;
  });
  return handled ? result : 0;
}

LRESULT TForm1::Handle(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  const Style* s = skin::Active();
  if (finder_ && finder_->OnMessage(msg, lp)) return 0;
  switch (msg) {
    case WM_DROPFILES: {
      auto drop = reinterpret_cast<HDROP>(wp);
      const std::vector<std::u16string> files = DroppedFiles(drop);
      DragFinish(drop);
      OpenFile(FirstReadableFile(files));
      return 0;
    }
    case WM_COPYDATA: {
      // The sender waits for the answer: take the path, open it afterwards.
      const auto path = PathFromCopyData(*reinterpret_cast<const COPYDATASTRUCT*>(lp));
      if (!path) break;
      if (IsIconic(hwnd_)) ShowWindow(hwnd_, SW_RESTORE);
      SetForegroundWindow(hwnd_);
      OpenWhenRunning(*path);
      return TRUE;
    }
    case kOpenPending:
      if (!pendingFile_.empty()) {
        const std::u16string path = std::move(pendingFile_);
        pendingFile_.clear();
        OpenFile(path);
      }
      return 0;
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) {
        const auto it = ids_.find(LOWORD(wp));
        if (it != ids_.end()) {
          if (it->second == u"Button1") Button1Click();
          if (it->second == u"Button2") Button2Click();
          if (it->second == u"Button3") Button3Click();
        }
        return 0;
      }
      break;
    case WM_SYSCOMMAND:
      if ((wp & 0xFFF0) == kGoToCommand) {
        GoToPart(hwnd_, memo1_, font_);
        return 0;
      }
      if ((wp & 0xFFF0) == kCompareCommand) {
        CompareClick();
        return 0;
      }
      break;
    case WM_TIMER:
      if (wp == kTimer1) {
        Timer1Timer();
        return 0;
      }
      break;
    case WM_NOTIFY: {
      const auto* nm = reinterpret_cast<const NMHDR*>(lp);
      if (nm->hwndFrom == pageControl_ && nm->code == TCN_SELCHANGE) {
        ShowPage(static_cast<int>(SendMessageW(pageControl_, TCM_GETCURSEL, 0, 0)));
        return 0;
      }
      break;
    }
    case WM_ERASEBKGND: {
      RECT rc;
      GetClientRect(hwnd_, &rc);
      FillRect(reinterpret_cast<HDC>(wp), &rc, s ? skin::Brush(s->face) : GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      if (!s) break;
      HDC dc = reinterpret_cast<HDC>(wp);
      HWND ctl = reinterpret_cast<HWND>(lp);
      wchar_t cls[16] = {};
      GetClassNameW(ctl, cls, 16);
      if (lstrcmpiW(cls, L"Edit") == 0) {
        // A read-only edit asks as a static control does.
        const Rgb back = msg == WM_CTLCOLORSTATIC ? s->editReadOnly : s->edit;
        SetTextColor(dc, s->editText);
        SetBkColor(dc, back);
        return reinterpret_cast<LRESULT>(skin::Brush(back));
      }
      SetTextColor(dc, s->faceText);
      SetBkColor(dc, s->face);
      SetBkMode(dc, TRANSPARENT);
      return reinterpret_cast<LRESULT>(skin::Brush(s->face));
    }
    case WM_DRAWITEM: {
      const auto& di = *reinterpret_cast<const DRAWITEMSTRUCT*>(lp);
      if (!s) break;
      if (di.CtlType == ODT_BUTTON) {
        skin::DrawButton(*s, di, skin::IsHot(di.hwndItem));
        return TRUE;
      }
      if (di.CtlType == ODT_TAB) {
        wchar_t text[256] = {};
        TCITEMW ti{};
        ti.mask = TCIF_TEXT;
        ti.pszText = text;
        ti.cchTextMax = 255;
        SendMessageW(di.hwndItem, TCM_GETITEMW, di.itemID, reinterpret_cast<LPARAM>(&ti));
        skin::DrawTab(*s, di.hDC, di.rcItem, text, di.itemState & ODS_SELECTED, false);
        return TRUE;
      }
      break;
    }
    case WM_CLOSE:
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd_, kTimer1);
      pollOn_ = false;
      if (quitOnDestroy_) PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      hwnd_ = nullptr;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      break;
    default:
      break;
  }
  return DefWindowProcW(hwnd, msg, wp, lp);
}

int RunMessageLoop(HWND main) {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (Form1 && Form1->Handle() == main && Form1->PreTranslate(msg)) continue;
    if (!IsWindow(main) || !IsDialogMessageW(main, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace kestrova::ui
