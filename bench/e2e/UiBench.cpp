// How Kestrova.exe feels under Wine, measured from outside:
//   kestrova_ui_bench --kestrova=PATH [--file=PATH] [--starts=N]
// - start-up: process start to the main window visible (median of N);
// - one analysis of a big DLL (Wine's mshtml.dll by default): Analyze to the
//   listing shown, how long the dump tool ran, how long after its end the
//   listing began to show (must be within one poll interval), how long the
//   memo took to fill, and WM_NULL round trips while it filled.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "dumper/banner.h"
#include "tests/e2e/Harness.h"

using namespace kestrova::e2e;

namespace {

double Since(Clock::time_point t0, Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(t - t0).count();
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The first process named tdump.exe that was not there before.
DWORD FindDumper(const std::vector<DWORD>& old) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W pe{};
  pe.dwSize = sizeof pe;
  DWORD found = 0;
  for (BOOL more = Process32FirstW(snap, &pe); more && !found; more = Process32NextW(snap, &pe))
    if (_wcsicmp(pe.szExeFile, L"tdump.exe") == 0 &&
        std::find(old.begin(), old.end(), pe.th32ProcessID) == old.end())
      found = pe.th32ProcessID;
  CloseHandle(snap);
  return found;
}

std::vector<DWORD> Dumpers() {
  std::vector<DWORD> out;
  for (DWORD pid; (pid = FindDumper(out)) != 0;) out.push_back(pid);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring file = L"Z:\\usr\\lib\\x86_64-linux-gnu\\wine\\x86_64-windows\\mshtml.dll";
  int starts = 5;
  for (int i = 1; i < argc; ++i) {
    const std::wstring a = argv[i];
    if (a.rfind(L"--kestrova=", 0) == 0) config().kestrova = ToWindowsPath(a.substr(11));
    if (a.rfind(L"--file=", 0) == 0) file = ToWindowsPath(a.substr(7));
    if (a.rfind(L"--starts=", 0) == 0) starts = std::max(1, _wtoi(a.substr(9).c_str()));
  }
  if (config().kestrova.empty()) {
    std::fprintf(stderr, "kestrova_ui_bench: give --kestrova=PATH\n");
    return 2;
  }

  // Start-up.
  std::vector<double> startup;
  for (int i = 0; i < starts; ++i) {
    Scratch s("bench-start");
    Kestrova k(s);
    const auto t0 = Clock::now();
    k.Launch();
    HWND form = WaitTopWindow(k.process().pid(), L"TForm1", Ms(30000));
    if (!form) {
      std::fprintf(stderr, "no window\n");
      return 1;
    }
    startup.push_back(Since(t0, Clock::now()));
    std::string ignored = FindControls(form, const_cast<Controls&>(k.c()));
    (void)ignored;
    k.Close();
  }
  std::printf("start-up to window visible: median %.0f ms (min %.0f, max %.0f, %d runs)\n", Median(startup),
              *std::min_element(startup.begin(), startup.end()), *std::max_element(startup.begin(), startup.end()),
              starts);

  // One analysis of the big file.
  Scratch s("bench-analysis");
  const std::wstring name = file.substr(file.find_last_of(L"\\/") + 1);
  const std::wstring chosen = s.Dir(L"files") + name;
  if (!CopyOf(file, chosen)) {
    std::fprintf(stderr, "cannot copy %ls\n", file.c_str());
    return 1;
  }
  Kestrova k(s);
  if (auto why = k.Start(); !why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  if (auto why = k.BrowseTo(chosen); !why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  const HWND form = k.c().form, memo = k.c().memo;
  const size_t waitingLen = wcslen(kWaitingLine) + 2;

  // Round trips of WM_NULL, all through the analysis.
  struct Ping {
    double at, ms;
  };
  std::vector<Ping> pings;
  std::mutex pingLock;
  std::atomic<bool> stop{false};
  const auto t0 = Clock::now();
  std::thread pinger([&] {
    while (!stop) {
      const auto sent = Clock::now();
      const double ms = PingMs(form, Ms(20000));
      {
        std::lock_guard<std::mutex> g(pingLock);
        pings.push_back({Since(t0, sent), ms});
      }
      std::this_thread::sleep_for(Ms(5));
    }
  });

  // The dump tool's process, to know when it ends.
  std::atomic<double> dumperStart{-1}, dumperEnd{-1};
  const auto before = Dumpers();
  std::thread watcher([&] {
    HANDLE p = nullptr;
    while (!stop && !p) {
      if (DWORD pid = FindDumper(before)) {
        p = OpenProcess(SYNCHRONIZE, FALSE, pid);
        dumperStart = Since(t0, Clock::now());
      } else {
        std::this_thread::sleep_for(Ms(1));
      }
    }
    if (p) {
      WaitForSingleObject(p, 120000);
      dumperEnd = Since(t0, Clock::now());
      CloseHandle(p);
    }
  });

  k.ClickAnalyze();
  const double clickDone = Since(t0, Clock::now());
  // The fill begins when the memo stops showing the waiting line.
  double fillStart = -1, shown = -1;
  size_t finalLen = 0;
  DWORD_PTR last = waitingLen;
  int steady = 0;
  const auto deadline = Clock::now() + Ms(180000);
  while (Clock::now() < deadline) {
    DWORD_PTR len = 0;
    if (SendBounded(memo, WM_GETTEXTLENGTH, 0, 0, &len, Ms(20000))) {
      const double now = Since(t0, Clock::now());
      if (fillStart < 0 && len != waitingLen) fillStart = now;
      if (fillStart >= 0 && len == last && len != 0 && len != waitingLen && !IsWindowEnabled(k.c().analyze)) {
        if (++steady == 1) shown = now;
        if (steady >= 10) break;
      } else {
        steady = 0;
      }
      last = len;
      finalLen = len;
    }
    std::this_thread::sleep_for(Ms(2));
  }
  stop = true;
  pinger.join();
  watcher.join();

  const std::wstring listing = TextOf(memo);
  const bool banner =
      listing.rfind(Widen(std::string(kestrova::dumper::kBanner)), 0) == 0;
  std::printf("file: %ls, %ld bytes; listing shown: %zu characters\n", name.c_str(),
              static_cast<long>(ReadBytes(chosen).value_or("").size()), finalLen);
  std::printf("listing starts with the banner: %s\n", banner ? "yes" : "NO");
  std::printf("Analyze click handled in       %8.0f ms\n", clickDone);
  std::printf("dump tool ran                  %8.0f ms (from %.0f to %.0f after the click)\n",
              dumperEnd - dumperStart, dumperStart.load(), dumperEnd.load());
  std::printf("dump end -> listing starts     %8.0f ms (one poll interval is 1500 ms)\n", fillStart - dumperEnd);
  std::printf("memo fill                      %8.0f ms\n", shown - fillStart);
  std::printf("Analyze -> listing shown       %8.0f ms\n", shown);
  double worst = 0, sum = 0;
  int during = 0, lost = 0;
  for (const Ping& p : pings) {
    if (p.at + std::max(p.ms, 0.0) < fillStart - 1 || p.at > shown) continue;
    ++during;
    if (p.ms < 0) {
      ++lost;
      continue;
    }
    worst = std::max(worst, p.ms);
    sum += p.ms;
  }
  std::printf("WM_NULL round trips during the fill: %d, worst %.0f ms, mean %.1f ms, unanswered %d\n", during,
              worst, during > lost ? sum / (during - lost) : 0.0, lost);
  double worstAll = 0;
  for (const Ping& p : pings) worstAll = std::max(worstAll, p.ms);
  std::printf("WM_NULL worst over the whole analysis: %.0f ms (%zu round trips)\n", worstAll, pings.size());
  const bool inTime = dumperEnd >= 0 && fillStart >= 0 && fillStart - dumperEnd <= 1600;
  std::printf("listing at the first tick after the dump ended: %s\n", inTime ? "yes" : "NO");
  k.Close();
  return banner && inTime ? 0 : 1;
}
