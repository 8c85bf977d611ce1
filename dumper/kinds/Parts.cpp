// The other file kinds' parts: present only for their kind.
#include "dumper/kinds/Parts.h"

namespace kestrova::dumper::pe {

ArchivePart ParseArchive(const Context& ctx) {
  ArchivePart p;
  if (coff::DetectKind(ctx.file) != coff::Kind::Archive) return p;
  p.a = archive::ParseArchive(ctx.file, ctx.budget, ctx.an, Area::Archive);
  p.present = p.a.present;
  return p;
}

ImportLibraryPart ParseImportLibrary(const Context& ctx) {
  ImportLibraryPart p;
  if (coff::DetectKind(ctx.file) != coff::Kind::Archive) return p;
  // The archive's own damage is the Archive part's to report.
  Anomalies structure;
  archive::Archive a = archive::ParseArchive(ctx.file, ctx.budget, structure, Area::Archive);
  p.lib = archive::ParseImportLibrary(a, ctx.budget, ctx.an, Area::ImportLibrary);
  p.present = p.lib.present;
  return p;
}

ObjectPart ParseObject(const Context& ctx) {
  ObjectPart p;
  coff::Kind k = coff::DetectKind(ctx.file);
  if (k != coff::Kind::Object && k != coff::Kind::BigObject) return p;
  p.o = coff::ParseObject(ctx.file, ctx.budget, ctx.an, Area::Object);
  p.present = p.o.present;
  return p;
}

ne::Module ParseNe(const Context& ctx) {
  if (coff::DetectKind(ctx.file) != coff::Kind::Ne) return {};
  return ne::ParseNe(ctx.file, ctx.budget, ctx.an);
}

}  // namespace kestrova::dumper::pe
