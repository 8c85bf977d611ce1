#pragma once
// The parts the other file kinds bring to the table of parts. This glue sits
// above the readers it joins (coff/, archive/, ne/), so no reader reaches up
// to another: each parser here looks at the file's kind (by content) and is
// present only for its own kind, so the kind chooses which parts apply. Each
// also leaves the summary what the file is opened for (pe::Facts).
#include "dumper/archive/Archive.h"
#include "dumper/coff/Detect.h"
#include "dumper/coff/Object.h"
#include "dumper/ne/Ne.h"
#include "dumper/pe/Context.h"

namespace kestrova::dumper::pe {

struct ArchivePart {
  bool present = false;
  archive::Archive a;  // members are walked by the printer, one at a time
};
struct ImportLibraryPart {
  bool present = false;
  archive::ImportLibrary lib;
};
struct ObjectPart {
  bool present = false;
  coff::Object o;
  coff::LtcgHeader ltcg;  // a /GL object: its header is all there is to read
};

ArchivePart ParseArchive(const Context& ctx);
ImportLibraryPart ParseImportLibrary(const Context& ctx);
ObjectPart ParseObject(const Context& ctx);
ne::Module ParseNe(const Context& ctx);

}  // namespace kestrova::dumper::pe
