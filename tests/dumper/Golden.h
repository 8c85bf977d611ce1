#pragma once
// Compares a listing with its expected text in golden/<name>.txt.
// KESTROVA_UPDATE_GOLDEN=1 rewrites the files instead (review the diff!).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "dumper/Dump.h"
#include "tests/dumper/PeBuilder.h"

namespace kestrova::dumper::testing {

inline std::string Dump(const std::vector<std::uint8_t>& bytes, std::string_view name) {
  return DumpToString(bytes, name);
}

// The file's JSON form, one line.
inline std::string DumpJson(const std::vector<std::uint8_t>& bytes, std::string_view name) {
  Options o;
  o.json = true;
  return DumpToString(bytes, name, o);
}

// The member `"id":{...}` of the JSON form's "parts", as written: the golden of
// one part family, which the other parts' keys do not touch. Empty when absent.
inline std::string PartJson(const std::string& json, std::string_view id) {
  // Past the string that opens at `i` (a quote), escapes included.
  auto skipString = [&](std::size_t i) {
    for (++i; i < json.size() && json[i] != '"'; ++i)
      if (json[i] == '\\') ++i;
    return i + 1;
  };
  const std::string key = "\"" + std::string(id) + "\":{";
  std::size_t i = json.find("\"parts\":{");
  if (i == std::string::npos) return {};
  int depth = 0;
  std::size_t begin = std::string::npos;
  for (i += 8; i < json.size();) {
    const char c = json[i];
    if (c == '"') {
      if (depth == 1 && begin == std::string::npos && json.compare(i, key.size(), key) == 0) begin = i;
      i = skipString(i);
      continue;
    }
    if (c == '{' || c == '[') ++depth;
    if (c == '}' || c == ']') {
      if (--depth == 1 && begin != std::string::npos) return json.substr(begin, i + 1 - begin);
      if (depth == 0) break;
    }
    ++i;
  }
  return {};
}

// `name` + ".txt" holds the expected listing; "x.json" the expected JSON of a part family.
inline void ExpectGolden(const std::string& name, const std::string& listing) {
  const bool ext = name.find('.') != std::string::npos;
  std::string path = std::string(KESTROVA_GOLDEN_DIR) + "/" + name + (ext ? "" : ".txt");
  if (const char* u = std::getenv("KESTROVA_UPDATE_GOLDEN"); u != nullptr && *u == '1') {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(listing.data(), 1, listing.size(), f);
    std::fclose(f);
    return;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr) << "no golden file " << path << "; run with KESTROVA_UPDATE_GOLDEN=1";
  std::string expected;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) expected.append(buf, n);
  std::fclose(f);
  if (expected == listing) return;
  // Point at the first line that differs rather than printing two listings.
  std::size_t line = 1, i = 0;
  while (i < expected.size() && i < listing.size() && expected[i] == listing[i]) {
    if (expected[i] == '\n') ++line;
    ++i;
  }
  auto lineAt = [](const std::string& s, std::size_t at) {
    std::size_t b = s.rfind('\n', at == 0 ? 0 : at - 1);
    b = b == std::string::npos ? 0 : b + 1;
    std::size_t e = s.find('\n', at);
    return s.substr(b, e == std::string::npos ? std::string::npos : e - b);
  };
  ADD_FAILURE() << name << ": line " << line << " differs\n  expected: " << lineAt(expected, i)
                << "\n  actual:   " << lineAt(listing, i);
}

}  // namespace kestrova::dumper::testing
