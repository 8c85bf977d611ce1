// File kinds by content.
#include "dumper/coff/Detect.h"

#include "dumper/coff/Object.h"

namespace kestrova::dumper::coff {

std::string_view KindName(Kind k) {
  switch (k) {
    case Kind::Image: return "PE image";
    case Kind::Dos: return "DOS executable";
    case Kind::Ne: return "NE executable";
    case Kind::Archive: return "archive";
    case Kind::Object: return "COFF object";
    case Kind::BigObject: return "big COFF object";
    case Kind::LtcgObject: return "/GL object";
    case Kind::ShortImport: return "short import";
    case Kind::Unknown: break;
  }
  return "unknown";
}

bool KnownObjectMachine(std::uint16_t machine) {
  switch (machine) {
    case 0x014C:  // i386
    case 0x8664:  // AMD64
    case 0xAA64:  // ARM64
    case 0xA641:  // ARM64EC
    case 0xA64E:  // ARM64X
    case 0x01C4:  // ARMNT
    case 0x01C0:  // ARM
    case 0x01C2:  // Thumb
    case 0x0200:  // IA64
    case 0x0000:  // unknown: import descriptors and resource objects may carry it
      return true;
    default:
      return false;
  }
}

bool LooksLikeObject(const io::Reader& data) {
  auto machine = data.U16(0), sections = data.U16(2), optional = data.U16(16);
  if (!machine || !sections || !optional) return false;
  if (!KnownObjectMachine(*machine) || *optional != 0 || *sections > 0xFEFF) return false;
  // Machine 0 is also what zeros say: then the section table must be there. A
  // known machine is enough, so that an object cut short is still read (and its
  // damage reported) rather than called unknown.
  if (*machine == 0) return *sections != 0 && 20 + std::uint64_t{*sections} * 40 <= data.Size();
  return true;
}

Kind DetectKind(const io::Reader& file) {
  if (file.Has(0, 8) && file.Fixed(0, 8) == "!<arch>\n") return Kind::Archive;
  auto mz = file.U16(0);
  if (mz == 0x5A4D) {
    auto lfanew = file.U32(0x3C);
    if (lfanew) {
      if (file.U32(*lfanew) == 0x00004550) return Kind::Image;
      if (file.U16(*lfanew) == 0x454E) return Kind::Ne;
    }
    return Kind::Dos;
  }
  if (IsBigObject(file)) return Kind::BigObject;
  if (IsLtcgObject(file)) return Kind::LtcgObject;
  if (file.U16(0) == 0 && file.U16(2) == 0xFFFF) return Kind::ShortImport;
  if (LooksLikeObject(file)) return Kind::Object;
  return Kind::Unknown;
}

}  // namespace kestrova::dumper::coff
