#pragma once
// The parsers: file bytes in, typed records and anomalies out. They never print.
#include <cstdint>
#include <optional>

#include "dumper/io/Reader.h"
#include "dumper/io/Sink.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::pe {

// `checksum` false skips the whole-file checksum: a DLL read for the dependency
// walk needs only its headers and tables, not every page of it. Its warnings and
// `what` are in `language`, the listing's language.
Headers ParseHeaders(const io::Reader& file, Anomalies& an, io::PageRelease* pages = nullptr, bool checksum = true,
                     lang::Lang language = lang::Lang::En);

// The header parts show what ParseHeaders found; their records only say whether there is a part.
struct HeaderPart {
  bool present = false;
};
HeaderPart ParseDos(const Context& ctx);
HeaderPart ParseCoff(const Context& ctx);
HeaderPart ParseOptional(const Context& ctx);
HeaderPart ParseDirectories(const Context& ctx);
HeaderPart ParseSections(const Context& ctx);

ImportTable ParseImports(const Context& ctx);
ImportTable ParseDelayImports(const Context& ctx);
BoundImportTable ParseBoundImports(const Context& ctx);
ExportTable ParseExports(const Context& ctx);

// Produces the entries of an export table in ordinal order, reading
// each from the file as it is asked for. Problems found on the way (forwarder
// strings, addresses outside the image) are added to the anomalies.
class ExportWalker {
 public:
  ExportWalker(const ExportTable& t, const Context& ctx);
  bool Next(ExportEntry& e);
  // Name k (k < e.nameCount) of entry e.
  ExportName Name(const ExportEntry& e, std::uint32_t k) const;
  // A name whose ordinal index points past the address table, and that index.
  ExportName StrayName(std::size_t i, std::uint32_t& entry) const;
  // Address table entries that are zero and unnamed (empty slots: they
  // export nothing, but are listed so that every ordinal can be found), so far.
  std::uint32_t Unused() const { return unused_; }

 private:
  ExportName ReadName(std::uint32_t i) const;
  const ExportTable& t_;
  const Context& ctx_;
  std::optional<io::Reader> fv_, nv_, ov_;
  std::uint32_t next_ = 0;
  std::uint32_t unused_ = 0;
};

// The image checksum as the loader's tools compute it: the 16-bit one's
// complement sum of the file with the CheckSum field taken as zero, plus the length.
// Where the image's own data ends: the headers and every section's raw data,
// cut at the end of the file. The overlay starts there.
std::uint64_t ImageDataEnd(const Headers& h);

std::uint32_t ComputeChecksum(const io::Reader& file, std::uint64_t checksumOffset,
                              io::PageRelease* pages = nullptr);

}  // namespace kestrova::dumper::pe
