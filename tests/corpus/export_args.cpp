// What the argument-size inference and the data rules say about each export of
// one image, for the cross-check against the symbols Wine's DLLs keep: writes
// "ordinal<TAB>name<TAB>rva<TAB>verdict" per exported name, where verdict is
// data, forwarder TARGET, none, stdcall N, noargs, unknown, conflict N M or
// import DLL FUNCTION.
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "dumper/pe/ExportUse.h"
#include "dumper/pe/Parse.h"

int main(int argc, char** argv) {
  using namespace kestrova::dumper;
  if (argc != 2) {
    std::cerr << "usage: export_args FILE\n";
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  io::Reader file(bytes);
  pe::Anomalies an;
  pe::Headers h = pe::ParseHeaders(file, an);
  if (h.kind != pe::FileKind::Pe || !h.opt.present) return 1;
  pe::AddressMap map(file, h);
  pe::Budget budget(bytes.size());
  const pe::Options options;
  const pe::Context ctx{file, h, map, budget, an, options};
  pe::ExportTable t = pe::ParseExports(ctx);
  pe::ImportTable imports = pe::ParseImports(ctx);
  pe::RelocationTable relocations = pe::ParseRelocations(ctx);
  pe::ExportUse use(ctx, t, &imports, &relocations);
  pe::ExportWalker w(t, ctx);
  pe::ExportEntry e;
  while (w.Next(e)) {
    if (e.rva == 0 && e.nameCount == 0) continue;
    for (std::uint32_t k = 0; k < e.nameCount || (k == 0 && e.nameCount == 0); ++k) {
      std::string name = e.nameCount != 0 ? std::string(w.Name(e, k).name) : "";
      std::cout << e.ordinal << '\t' << name << '\t' << e.rva << '\t';
      if (e.forwarder) {
        std::cout << "forwarder " << e.forwardTo << '\n';
        continue;
      }
      if (use.Data(e.rva, name) != pe::DataReason::NotData) {
        std::cout << "data\n";
        continue;
      }
      pe::ArgSize a = use.Args(e.rva);
      switch (a.kind) {
        case pe::ArgSize::Kind::None: std::cout << "none"; break;
        case pe::ArgSize::Kind::Stdcall: std::cout << "stdcall " << a.bytes; break;
        case pe::ArgSize::Kind::NoArgs: std::cout << "noargs"; break;
        case pe::ArgSize::Kind::Unknown: std::cout << "unknown"; break;
        case pe::ArgSize::Kind::Conflict: std::cout << "conflict " << a.bytes << ' ' << a.other; break;
        case pe::ArgSize::Kind::ViaImport: {
          std::cout << "import";
          for (const pe::ImportDll& d : imports.dlls)
            for (const pe::ImportFunction& f : d.functions)
              if (f.slotRva == a.importSlot)
                std::cout << ' ' << d.name << ' ' << (f.byOrdinal ? "#" + std::to_string(f.ordinal) : std::string(f.name));
          break;
        }
      }
      std::cout << '\n';
    }
  }
  return 0;
}
