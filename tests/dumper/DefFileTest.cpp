// tdump --def, and the Exports part's usage marks, on a 32-bit DLL built in
// memory whose exports cover each verdict of the argument-size walk and each
// data rule; and the files --def refuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "dumper/DefFile.h"
#include "dumper/system/Closure.h"
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

class StringSink final : public io::Sink {
 public:
  void Write(std::string_view text) override { s.append(text); }
  std::string s;
};

std::string Def(const std::vector<std::uint8_t>& bytes, int expectRc) {
  StringSink out;
  EXPECT_EQ(WriteDefFile(bytes, "dir/calls.dll", out), expectRc);
  return out.s;
}

std::vector<std::uint8_t> CallsDll() {
  PeBuilder pe(false);
  pe.characteristics = 0x2102;  // a DLL
  pe.Add(".text", kCode);
  pe.Add(".idata", kData);
  pe.Add(".data", kData);
  pe.Add(".rdata", kRData);
  pe.Add(".reloc", kRData);
  PeBuilder::Section &text = pe.sections[0], &idata = pe.sections[1], &data = pe.sections[2],
                     &rdata = pe.sections[3], &reloc = pe.sections[4];
  std::vector<std::uint32_t> iats;
  pe.dirs[1] = {WriteImports(pe, idata, {{"KERNEL32.dll", {{"ExitProcess", 0x120}, {"GetStdHandle", 0x2D0}}}}, &iats), 40};
  const auto va = [&](std::uint32_t rva) { return static_cast<std::uint32_t>(pe.imageBase) + rva; };
  Blob& c = text.data;
  auto at = [&](std::uint32_t rva) { c.b.resize(rva - 0x1000, 0xCC); };
  // 0x1000 push ebp; mov ebp, esp; mov eax, [ebp+8]; pop ebp; ret 8
  c.U8(0x55).U8(0x8B).U8(0xEC).U8(0x8B).U8(0x45).U8(0x08).U8(0x5D).U8(0xC2).U16(8);
  at(0x1010);  // xor eax, eax; ret
  c.U8(0x33).U8(0xC0).U8(0xC3);
  at(0x1020);  // test eax, eax; jz +3; ret 4; ret 8
  c.U8(0x85).U8(0xC0).U8(0x74).U8(0x03).U8(0xC2).U16(4).U8(0xC2).U16(8);
  at(0x1030);  // jmp [GetStdHandle's slot]
  c.U8(0xFF).U8(0x25).U32(va(iats[0] + 4));
  at(0x1040);  // push 0; call [ExitProcess's slot]; then bytes that must not count
  c.U8(0x6A).U8(0x00).U8(0xFF).U8(0x15).U32(va(iats[0])).U8(0xC2).U16(12);
  at(0x1050);  // jmp $
  c.U8(0xEB).U8(0xFE);
  at(0x1060);  // jmp 0x1000
  c.U8(0xE9).U32(static_cast<std::uint32_t>(0x1000 - 0x1065));
  at(0x1070);  // call 0x1080, which never returns; ret 12 is not reached
  c.U8(0xE8).U32(0x1080 - 0x1075).U8(0xC2).U16(12);
  at(0x1080);  // ud2
  c.U8(0x0F).U8(0x0B);
  at(0x10A0);  // a pointer a base relocation patches: data inside the code
  c.U32(va(0x3000));
  data.data.U32(0);
  reloc.data.U32(0x1000).U32(12).U16(0x30A0).U16(0);
  pe.dirs[5] = {reloc.va, reloc.data.Size()};

  ExportPlan e;
  e.dll = "calls.dll";
  e.base = 1;
  e.functions = {{0x1000, ""}, {0x1010, ""}, {0x1020, ""}, {0x1030, ""}, {0x1040, ""}, {0x1050, ""},
                 {0x1060, ""}, {0x1070, ""}, {0x3000, ""}, {0x10A0, ""}, {0x1090, ""}, {0, "NTDLL.RtlAllocateHeap"},
                 {0x1000, ""}, {0x1000, ""}, {0x1010, ""}, {0, ""}, {0x1000, ""}};
  // Wrong@4 names the ret 8 function: its decoration and its code disagree.
  e.names = {{"??_7Widget@@6B@", 10}, {"Both", 13}, {"Both@8", 14}, {"Branches", 2}, {"Cdecl", 1},
             {"Dies", 4}, {"Fwd", 11}, {"Loop", 5}, {"Noreturn", 7}, {"Pointer", 9}, {"Stdcall", 0},
             {"TailJump", 6}, {"Thunk", 3}, {"Variable", 8}, {"Wrong@4", 0}, {"bad name", 12}};
  auto ex = WriteExports(rdata, e);
  pe.dirs[0] = {ex[0], ex[1]};
  return pe.Build();
}

TEST(GoldenFeatures, ExportsShowArgumentBytesAndDataOnTheirLines) {
  const std::vector<std::uint8_t> dll = CallsDll();
  ExpectGolden("exports_usage", Dump(dll, "calls.dll"));
  ExpectGolden("exports_usage.json", PartJson(DumpJson(dll, "calls.dll"), "Exports"));
}

TEST(DefFile, VerdictsOfTheCodeAndDataRules) {
  EXPECT_EQ(Def(CallsDll(), 0),
            "; Module-definition file of calls.dll, written by tdump\n"
            "LIBRARY \"calls.dll\"\n"
            "EXPORTS\n"
            "Stdcall@8 @1\n"
            "Wrong@4 @1\n"
            "Cdecl @2\n"
            "Branches @3 ; returns pop 4 or 8 bytes on different paths\n"
            "Thunk @4 ; jumps to KERNEL32.dll GetStdHandle; argument size is that function's\n"
            "Dies @5 ; argument size unknown\n"
            "Loop @6 ; argument size unknown\n"
            "TailJump@8 @7\n"
            "Noreturn @8 ; argument size unknown\n"
            "Variable @9 DATA\n"
            "Pointer @10 DATA\n"
            "??_7Widget@@6B@ @11 DATA\n"
            "Fwd = NTDLL.RtlAllocateHeap @12 ; argument size is its target's\n"
            "; ordinal 13: the name \"bad name\" cannot be written in a .def file\n"
            "Both @14 ; takes 8 bytes of arguments; Both@8 is a name of its own here\n"
            "Both@8 @15\n"
            "calls_ord17@8 @17 NONAME\n");
}

TEST(DefFile, NoExportsAndNotAnImage) {
  EXPECT_EQ(Def(Pe32Program().Build(), 0),
            "; Module-definition file of calls.dll, written by tdump\n"
            "LIBRARY \"calls.dll\"\n"
            "EXPORTS\n"
            "; this file exports nothing\n");
  EXPECT_EQ(Def({'M', 'Z'}, 1), "tdump: \"dir/calls.dll\" is not an image: too short for a DOS header (2 of 64 bytes)\n");
}

// ---- a DLL among its siblings, with no Windows root ----

// A folder of files in memory.
class Folder final : public system::Files {
 public:
  std::map<std::string, std::vector<std::uint8_t>> files;  // "dir/name" -> bytes
  bool List(const std::string& dir, std::vector<std::string>& names) override {
    for (const auto& f : files)
      if (f.first.rfind(dir + "/", 0) == 0) names.push_back(f.first.substr(dir.size() + 1));
    return true;
  }
  std::unique_ptr<system::FileBytes> Open(const std::string& path, std::string& error) override {
    struct Held final : system::FileBytes {
      std::span<const std::uint8_t> b;
      std::span<const std::uint8_t> Bytes() const override { return b; }
    };
    auto it = files.find(path);
    if (it == files.end()) {
      error = "no such file";
      return nullptr;
    }
    auto h = std::make_unique<Held>();
    h->b = it->second;
    return h;
  }
};

// A 32-bit DLL whose exports are, by name: "ret N", "ret", "jmp K" (through the
// slot of the K-th function imported), or "=DLL.Function" (a forwarder).
std::vector<std::uint8_t> Sibling(const std::string& dll, const std::vector<DllPlan>& imports,
                                  std::vector<std::pair<std::string, std::string>> exports) {
  PeBuilder pe(false);
  pe.characteristics = 0x2102;
  pe.Add(".text", kCode);
  pe.Add(".idata", kData);
  pe.Add(".rdata", kRData);
  Blob& code = pe.sections[0].data;
  std::vector<std::uint32_t> iats;
  if (!imports.empty())
    pe.dirs[1] = {WriteImports(pe, pe.sections[1], imports, &iats), 20 * static_cast<std::uint32_t>(imports.size() + 1)};
  std::sort(exports.begin(), exports.end());
  ExportPlan e;
  e.dll = dll;
  for (const auto& [name, what] : exports) {
    e.names.push_back({name, static_cast<std::uint16_t>(e.functions.size())});
    if (what[0] == '=') {
      e.functions.push_back({0, what.substr(1)});
      continue;
    }
    e.functions.push_back({0x1000 + static_cast<std::uint32_t>(code.Size()), ""});
    if (what == "ret") code.U8(0xC3);
    else if (what.starts_with("ret ")) code.U8(0xC2).U16(static_cast<std::uint16_t>(std::stoi(what.substr(4))));
    else code.U8(0xFF).U8(0x25).U32(static_cast<std::uint32_t>(pe.imageBase) + iats[0] + 4 * static_cast<std::uint32_t>(std::stoul(what.substr(4))));
    code.b.resize((code.Size() + 15) / 16 * 16, 0xCC);
  }
  auto ex = WriteExports(pe.sections[2], e);
  pe.dirs[0] = {ex[0], ex[1]};
  return pe.Build();
}

// Thunks and forwarders of app/a.dll lead into its siblings: their argument
// sizes come from there, through thunks and forwarders in turn, and a chase
// that runs in a circle or out of the folder settles nothing.
TEST(DefFile, ArgumentSizesFromTheSiblingsWithoutARoot) {
  Folder f;
  f.files["app/a.dll"] = Sibling("a.dll", {{"b.dll", {{"Callee", 0}, {"Hop", 0}}}},
                                 {{"Thunk", "jmp 0"}, {"ThunkHop", "jmp 1"}, {"Fwd", "=b.Callee"},
                                  {"FwdCdecl", "=B.Plain"}, {"FwdHop", "=b.Hop"}, {"FwdTwice", "=b.Again"},
                                  {"FwdOrdinal", "=b.#1"}, {"FwdNamed", "=nowhere.Named@16"},
                                  {"Circle", "=b.Back"}, {"Lost", "=nowhere.X"}, {"Gone", "=b.Nope"}});
  f.files["app/b.dll"] = Sibling("b.dll", {{"c.dll", {{"Deep", 0}}}},
                                 {{"Callee", "ret 8"}, {"Plain", "ret"}, {"Hop", "jmp 0"}, {"Again", "=c.Deep"},
                                  {"Back", "=a.Circle"}});
  f.files["app/c.dll"] = Sibling("c.dll", {}, {{"Deep", "ret 12"}});
  system::Environment env;
  env.files = &f;
  env.appDir = "app";
  env.program = "app/a.dll";
  env.view.why = "--windows-root DIR names one";
  StringSink out;
  ASSERT_EQ(WriteDefFile(f.files["app/a.dll"], "app/a.dll", out, &env), 0);
  EXPECT_EQ(out.s,
            "; Module-definition file of a.dll, written by tdump\n"
            "LIBRARY \"a.dll\"\n"
            "EXPORTS\n"
            "Circle = b.Back @1 ; argument size is its target's\n"
            "Fwd@8 = b.Callee @2\n"
            "FwdCdecl = B.Plain @3\n"
            "FwdHop@12 = b.Hop @4\n"
            "FwdNamed@16 = nowhere.Named@16 @5\n"
            "FwdOrdinal@12 = b.#1 @6\n"
            "FwdTwice@12 = b.Again @7\n"
            "Gone = b.Nope @8 ; argument size is its target's\n"
            "Lost = nowhere.X @9 ; argument size is its target's\n"
            "Thunk@8 @10 ; argument size from b.dll Callee, which it jumps to\n"
            "ThunkHop@12 @11 ; argument size from b.dll Hop, which it jumps to\n");
  // The listing says the same on the forwarders' lines.
  pe::Options options;
  options.deps = &env;
  const std::string listing = DumpToString(f.files["app/a.dll"], "app/a.dll", options);
  EXPECT_NE(listing.find("  Fwd  -> b.Callee  args 8 (stdcall, 2 dwords, as its target)\n"), std::string::npos);
  EXPECT_NE(listing.find("  FwdCdecl  -> B.Plain  args 0 (cdecl or no arguments, as its target)\n"), std::string::npos);
  EXPECT_NE(listing.find("  Circle  -> b.Back\n"), std::string::npos);
  // Without the environment (--no-deps) nothing is followed.
  StringSink alone;
  WriteDefFile(f.files["app/a.dll"], "app/a.dll", alone, nullptr);
  EXPECT_NE(alone.s.find("Fwd = b.Callee @2 ; argument size is its target's\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrova::dumper::testing
