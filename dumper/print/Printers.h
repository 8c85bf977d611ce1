#pragma once
// One printer per structure. Printers only format records; they never read the file.
#include <span>
#include <string_view>

#include "dumper/pe/Constants.h"
#include "dumper/pe/Image.h"
#include "dumper/print/Out.h"

namespace kestrova::dumper::pe {
class ExportWalker;
}

namespace kestrova::dumper::print {

// Column where field values start.
inline constexpr std::size_t kValueCol = 36;

// "1 DLL", "2 DLLs".
void Count(Out& o, std::uint64_t n, std::string_view one, std::string_view many);

// "== Title ==": every part of the listing starts with one, so a search for
// "== " walks the parts.
void Title(Out& o, std::string_view title);
// "  Label<pad>" ready for the value.
Out& Field(Out& o, std::string_view label);
// The set bits of `value`, one per line under the field, unknown bits named as such.
void FlagLines(Out& o, std::uint32_t value, std::span<const pe::Named> table, int width);
// The problems of one part, one line each.
void AreaAnomalies(Out& o, const pe::Anomalies& an, pe::Area area);
// " (file offset 0x..)" / " (RVA 0x..)".
void Where(Out& o, const pe::Anomaly& a);

void PrintIntro(Out& o, std::string_view displayName, const pe::Headers& h);
void PrintDos(Out& o, const pe::Headers& h, const pe::Anomalies& an);
void PrintCoff(Out& o, const pe::Headers& h, const pe::Anomalies& an);
void PrintOptional(Out& o, const pe::Headers& h, const pe::Anomalies& an);
void PrintDirectories(Out& o, const pe::Headers& h, const pe::Anomalies& an);
void PrintSections(Out& o, const pe::Headers& h, const pe::Anomalies& an);
void PrintImports(Out& o, const pe::Headers& h, const pe::ImportTable& t, const pe::Anomalies& an);
void PrintDelayImports(Out& o, const pe::Headers& h, const pe::ImportTable& t, const pe::Anomalies& an);
void PrintBoundImports(Out& o, const pe::BoundImportTable& t, const pe::Anomalies& an);
void PrintExports(Out& o, const pe::ExportTable& t, pe::ExportWalker& walker, const pe::Anomalies& an);
void PrintSummary(Out& o, const pe::Anomalies& an);

// The section name for display: the long name when resolved, else the field.
std::string_view SectionName(const pe::Section& s);

}  // namespace kestrova::dumper::print
