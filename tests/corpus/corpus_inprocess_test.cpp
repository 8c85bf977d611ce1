// In-process robustness over the shared corpus: every file, and every file cut short at
// many points, goes through DumpToString. Fast enough for the sanitizer build, where an
// out-of-bounds read on a truncated header is caught at the byte it happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "dumper/Dump.h"
#include "dumper/banner.h"
#include "tests/corpus/Utf8Check.h"

namespace fs = std::filesystem;
using kestrova::dumper::DumpToString;
using kestrova::testing::IsValidUtf8;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 10;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kSlowdown = 10;
#else
constexpr int kSlowdown = 1;
#endif
#else
constexpr int kSlowdown = 1;
#endif

// A hang shows as a file far past this; a slow but finite walk shows as well.
constexpr auto kPerFileBound = std::chrono::seconds(5) * kSlowdown;

bool IsCatalogueText(const fs::path& p) {
  const std::string name = p.filename().string();
  static const std::set<std::string> kExact = {"makefile", "bin.sha"};
  if (kExact.count(name) != 0) return true;
  for (const char* prefix : {"README", "LICENSE", "COPYING"}) {
    if (name.rfind(prefix, 0) == 0) return true;
  }
  const std::string ext = p.extension().string();
  return ext == ".txt" || ext == ".md" || ext == ".bat" || ext == ".py";
}

std::vector<fs::path> CorpusFiles() {
  std::vector<fs::path> files;
  const fs::path root = KESTROVA_SHARED_CORPUS;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return files;
  for (const auto& e : fs::recursive_directory_iterator(root, ec)) {
    if (e.is_regular_file() && !IsCatalogueText(e.path())) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Dumps an exact-size heap copy, so reading one byte past the end is a sanitizer report
// rather than a silent read of the caller's buffer.
std::string DumpCopy(const std::vector<std::uint8_t>& bytes, std::size_t length,
                     const std::string& name) {
  std::vector<std::uint8_t> copy(bytes.begin(),
                                 bytes.begin() + static_cast<std::ptrdiff_t>(length));
  copy.shrink_to_fit();
  return DumpToString(copy, name);
}

// The checks every listing has to pass, whatever the input.
void ExpectSoundListing(const std::string& listing, const std::string& what) {
  ASSERT_FALSE(listing.empty()) << what;
  EXPECT_EQ(listing.rfind(std::string(kestrova::dumper::kBanner), 0), 0u)
      << what << ": listing does not open with the banner";
  EXPECT_TRUE(IsValidUtf8(listing)) << what << ": listing is not valid UTF-8";
}

// A check with nothing to check is a skip, never a pass; on CI, where every
// input is installed, it is a failure.
void SkipOrFail(const std::string& why) {
  if (std::getenv("CI") != nullptr) FAIL() << why << " (CI is set: every input must be present)";
  GTEST_SKIP() << why;
}

class SharedCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    files_ = CorpusFiles();
    if (files_.empty()) SkipOrFail(std::string("no shared corpus at ") + KESTROVA_SHARED_CORPUS);
  }
  std::vector<fs::path> files_;
};

TEST_F(SharedCorpus, EveryFileDumpsSoundlyWithinTheBoundAndRepeatably) {
  std::size_t done = 0;
  for (const auto& p : files_) {
    const auto bytes = ReadAll(p);
    const std::string name = p.filename().string();
    const auto start = std::chrono::steady_clock::now();
    const std::string listing = DumpCopy(bytes, bytes.size(), name);
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string what = p.string();
    ExpectSoundListing(listing, what);
    EXPECT_LT(took, kPerFileBound) << what << " took "
                                   << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                                   << " ms";
    EXPECT_TRUE(listing.find(name) != std::string::npos) << what << ": file name not in listing";
    // Same bytes, same listing: anything else means uninitialised state or address-dependent
    // output, and golden tests could not rely on it.
    EXPECT_EQ(DumpCopy(bytes, bytes.size(), name), listing) << what << ": second dump differs";
    ++done;
  }
  RecordProperty("files", static_cast<int>(done));
}

// Cut points: every byte of the headers' usual range, then evenly spaced to the end, so
// each structure the tool walks is seen ending at every field.
std::vector<std::size_t> CutPoints(std::size_t size) {
  std::vector<std::size_t> cuts;
  const std::size_t dense = std::min<std::size_t>(size, 1024);
  for (std::size_t i = 0; i < dense; i += (i < 512 ? 1 : 4)) cuts.push_back(i);
  if (size > dense) {
    const std::size_t steps = 96;
    for (std::size_t k = 0; k < steps; ++k) cuts.push_back(dense + (size - dense) * k / steps);
  }
  return cuts;
}

TEST_F(SharedCorpus, TruncatedFilesDumpSoundly) {
  // The small files are the hand-made and minimised ones: their structures sit close
  // together, so cutting them ends the file inside headers and tables.
  const std::size_t kLargest = std::size_t{64} * 1024 / static_cast<std::size_t>(kSlowdown);
  for (const auto& p : files_) {
    const auto bytes = ReadAll(p);
    if (bytes.size() > kLargest) continue;
    for (std::size_t cut : CutPoints(bytes.size())) {
      const std::string listing = DumpCopy(bytes, cut, "cut.bin");
      ExpectSoundListing(listing, p.string() + " cut at " + std::to_string(cut));
      if (HasFailure()) return;  // one broken file would otherwise flood the log
    }
  }
}

// A fixed handful of real linker output with large import and export tables, so the
// sanitizer build also walks full-size tables, not only hand-made and minimised files.
TEST(WineSample, LargeRealTablesDumpSoundly) {
  const fs::path dir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) return SkipOrFail("Wine's PE folder is absent: " + dir.string());
  std::size_t done = 0;
  for (const char* name : {"ntdll.dll", "kernel32.dll", "kernelbase.dll", "user32.dll",
                           "msvcrt.dll", "ucrtbase.dll", "ws2_32.dll", "ole32.dll",
                           "shell32.dll", "comctl32.dll", "mshtml.dll", "winedbg.exe"}) {
    const fs::path p = dir / name;
    if (!fs::is_regular_file(p, ec)) continue;
    const auto bytes = ReadAll(p);
    const auto start = std::chrono::steady_clock::now();
    const std::string listing = DumpCopy(bytes, bytes.size(), name);
    const auto took = std::chrono::steady_clock::now() - start;
    ExpectSoundListing(listing, p.string());
    EXPECT_LT(took, kPerFileBound) << p;
    ++done;
  }
  EXPECT_GT(done, 0u) << "none of the sample DLLs is in " << dir;
}

}  // namespace
