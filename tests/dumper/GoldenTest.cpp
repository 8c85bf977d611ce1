// One listing per feature, compared with its expected text.
#include "tests/dumper/Golden.h"
#include "tests/dumper/Images.h"

namespace kestrova::dumper::testing {
namespace {

TEST(GoldenFeatures, Pe32ProgramWithImportsByNameAndOrdinal) {
  ExpectGolden("pe32_program", Dump(Pe32Program().Build(), "prog.exe"));
}

TEST(GoldenFeatures, Pe32PlusLibraryWithAllTables) {
  ExpectGolden("pe32plus_library", Dump(Pe32PlusLibrary().Build(), "sample.dll"));
}

TEST(GoldenFeatures, NotAnExecutableAndPlainDos) {
  std::vector<std::uint8_t> text = {'h', 'e', 'l', 'l', 'o', '\n'};
  ExpectGolden("not_executable", Dump(text, "notes.txt"));
  std::vector<std::uint8_t> dos = Pe32Program().Build();
  dos.resize(0x80);
  Put32(dos, 0x3C, 0);  // no new header at all
  ExpectGolden("dos_program", Dump(dos, "old.exe"));
}

TEST(GoldenFeatures, EveryMachineAndFlagHasAName) {
  // A listing that names all header enumerations at once: a 64-bit image for
  // ARM64EC with every characteristic bit set, in every DLL flag, and ARMNT/ARM64X machines.
  for (auto [machine, name] : {std::pair<std::uint16_t, const char*>{0xA641, "ARM64EC"},
                               {0xA64E, "ARM64X"}, {0x01C4, "ARMNT"}, {0xAA64, "ARM64"}, {0x6264, "LOONGARCH64"}}) {
    PeBuilder pe(true);
    pe.Add(".text", kCode).data.Zeros(0x10);
    pe.machine = machine;
    std::string listing = Dump(pe.Build(), "m.dll");
    EXPECT_NE(listing.find(std::string("machine ") + name + "\n"), std::string::npos) << name;
  }
  PeBuilder pe(true);
  pe.Add(".text", 0xFFFFFFFF).data.Zeros(0x10);
  pe.characteristics = 0xFFFF;
  pe.dllCharacteristics = 0xFFFF;
  pe.subsystem = 16;
  ExpectGolden("all_flags", Dump(pe.Build(), "flags.dll"));
}

}  // namespace
}  // namespace kestrova::dumper::testing
