#pragma once
// The DLLs a dependency walk reaches, each read once: headers, imports and
// exports through the same parsers and budgets as the file being listed, and
// nothing else of it. A DLL is only read, never loaded.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dumper/io/Reader.h"
#include "dumper/pe/Context.h"
#include "dumper/pe/Image.h"
#include "dumper/system/Files.h"

namespace kestrova::dumper::system {

struct Module {
  enum class State : std::uint8_t { Image, NotImage, Unreadable };
  State state = State::Unreadable;
  std::string path;
  std::string name;   // lower-case file name, as the loader knows a loaded module
  std::string error;  // Unreadable: the system's reason; NotImage: what it is instead
  std::uint16_t machine = 0;
  bool pe32plus = false;
  pe::ImportTable imports, delayImports;
  pe::ExportTable exports;
  pe::Anomalies an;  // this DLL's own damage

  pe::Context Ctx() const { return {bytes_, h_, *map_, *budget_, const_cast<pe::Anomalies&>(an), options_}; }
  const pe::Headers& Headers() const { return h_; }
  // Hands the file's pages back until they are read again (FileBytes::Release).
  void Release() const {
    if (file_) file_->Release();
  }

 private:
  friend class ModuleCache;
  std::unique_ptr<FileBytes> file_;
  io::Reader bytes_;
  pe::Headers h_;
  std::unique_ptr<pe::AddressMap> map_;
  std::unique_ptr<pe::Budget> budget_;
  pe::Options options_;
};

// Modules by path, each read on first request.
class ModuleCache {
 public:
  explicit ModuleCache(Files& files) : files_(files) {}
  const Module& Get(const std::string& path);
  // The file being listed, whose bytes the caller already holds.
  const Module& Add(const std::string& path, std::span<const std::uint8_t> bytes);
  std::size_t Size() const { return byPath_.size(); }

 private:
  void Read(Module& m, std::span<const std::uint8_t> bytes);
  Files& files_;
  std::unordered_map<std::string, std::unique_ptr<Module>> byPath_;
};

struct ExportHit {
  enum class Kind : std::uint8_t { Missing, Found, Forward };
  Kind kind = Kind::Missing;
  std::string_view forward;  // Forward: "DLL.Function" or "DLL.#ordinal"
  std::uint32_t rva = 0;     // Found: the function's address
};

// An export by name as the loader finds it: the hint's slot first, then a
// search by halves of the name table (`hint` -1: none) (which must ascend, as the linker sorts it).
ExportHit FindExport(const Module& m, std::string_view name, std::int32_t hint = -1);
// An export by ordinal (biased by the table's Base, as imports give it).
ExportHit FindOrdinal(const Module& m, std::uint32_t ordinal);

}  // namespace kestrova::dumper::system
