#pragma once
// The parsers: file bytes in, typed records and anomalies out. They never print.
#include <cstdint>
#include <optional>

#include "dumper/Dump.h"
#include "dumper/io/Reader.h"
#include "dumper/pe/Image.h"

namespace kestrova::dumper::pe {

// Longest name read from the file; longer ones are cut and reported.
inline constexpr std::size_t kMaxName = 4096;

// RVA to file bytes, the way the loader lays the image out.
class AddressMap {
 public:
  AddressMap(const io::Reader& file, const Headers& h);
  // The file bytes from `rva` to the end of what backs it (its section's raw
  // data, or the header area), or nothing when no file byte backs it.
  std::optional<io::Reader> View(std::uint64_t rva) const;
  std::optional<std::uint64_t> ToOffset(std::uint64_t rva) const;
  // Index of the section whose virtual range holds `rva`, or kNoSection.
  int SectionOf(std::uint64_t rva) const;
  bool InHeaders(std::uint64_t rva) const { return rva < headerBytes_; }

 private:
  const io::Reader& file_;
  const std::vector<Section>& sections_;
  std::vector<std::uint32_t> byAddress_;  // section indices sorted by virtual address
  std::uint64_t headerBytes_ = 0;
};

// Caps the total work of the table walks: no table entry of a real image is
// shared, so the file's size bounds their sum; tables that reuse each other
// (a loop made of pointers) run into this instead of into time.
class Budget {
 public:
  explicit Budget(std::uint64_t fileSize) : left_(fileSize / 2 + 4096) {}
  bool Take() {
    if (left_ == 0) return false;
    --left_;
    return true;
  }

 private:
  std::uint64_t left_;
};

Headers ParseHeaders(const io::Reader& file, Anomalies& an, PageRelease* pages = nullptr);
ImportTable ParseImports(const io::Reader& file, const Headers& h, const AddressMap& map, Budget& budget,
                         Anomalies& an);
ImportTable ParseDelayImports(const io::Reader& file, const Headers& h, const AddressMap& map, Budget& budget,
                              Anomalies& an);
BoundImportTable ParseBoundImports(const io::Reader& file, const Headers& h, const AddressMap& map,
                                   Anomalies& an);
ExportTable ParseExports(const io::Reader& file, const Headers& h, const AddressMap& map, Anomalies& an);

// Produces the entries of an export table in ordinal order, reading
// each from the file as it is asked for. Problems found on the way (forwarder
// strings, addresses outside the image) are added to the anomalies.
class ExportWalker {
 public:
  ExportWalker(const ExportTable& t, const AddressMap& map, Anomalies& an);
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
  const AddressMap& map_;
  Anomalies& an_;
  std::optional<io::Reader> fv_, nv_, ov_;
  std::uint32_t next_ = 0;
  std::uint32_t unused_ = 0;
};

// The image checksum as the loader's tools compute it: the 16-bit one's
// complement sum of the file with the CheckSum field taken as zero, plus the length.
std::uint32_t ComputeChecksum(const io::Reader& file, std::uint64_t checksumOffset, PageRelease* pages = nullptr);

}  // namespace kestrova::dumper::pe
