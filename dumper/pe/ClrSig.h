#pragma once
// Readable names of the types an assembly defines and uses, and its
// signatures decoded from their blobs: "static int32 Add(int32, int32)",
// "System.Collections.Generic.List`1<!0>". Decoding is capped in depth and in
// steps, so a type signature that names itself ends in a report, not a stack fault.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "dumper/pe/ClrMeta.h"

namespace kestrova::dumper::pe::clr {

class Names {
 public:
  explicit Names(const Metadata& md);

  // Appends the type's full name: Namespace.Name, nested types as Outer/Inner.
  void TypeDef(std::string& out, std::uint32_t row) const;
  void TypeRef(std::string& out, std::uint32_t row) const;
  // A TypeDef, TypeRef or TypeSpec row.
  void Type(std::string& out, Ref r) const;
  // The TypeDef enclosing `row`, or 0.
  std::uint32_t Enclosing(std::uint32_t row) const {
    return row != 0 && row <= enclosing_.size() ? enclosing_[row - 1] : 0;
  }

  // Method def `row`'s signature with its name put in: "static int32 Add(int32, int32)".
  // Returns false when the blob is damaged (reported; `out` holds what was read).
  bool Method(std::string& out, std::uint32_t row) const;
  // Field `row`'s type.
  bool Field(std::string& out, std::uint32_t row) const;
  // The method owning member ref `row`: "Type::Name".
  void MemberRef(std::string& out, std::uint32_t row) const;
  // Method def `row` as "Type::Name".
  void MethodDefName(std::string& out, std::uint32_t row) const;
  // The TypeDef owning method def `row` (found by the types' method lists), or 0.
  std::uint32_t OwnerOfMethod(std::uint32_t row) const;

 private:
  struct Sig;
  void TypeDefAt(std::string& out, std::uint32_t row, int depth) const;
  void TypeRefAt(std::string& out, std::uint32_t row, int depth) const;
  void TypeAt(std::string& out, Ref r, int depth, std::uint32_t& steps) const;

  const Metadata& md_;
  std::vector<std::uint32_t> enclosing_;  // per TypeDef row, from NestedClass
  std::vector<std::uint32_t> methodPosition_;  // per MethodDef row, its MethodPtr position (when there is one)
};

}  // namespace kestrova::dumper::pe::clr
