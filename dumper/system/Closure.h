#pragma once
// "Will it load here?": every DLL a program imports, and every DLL those
// import, resolved as the loader would, with what fails and whether it fails
// at start or only when a delay-loaded DLL is first called.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "dumper/system/ApiSet.h"
#include "dumper/system/Modules.h"
#include "dumper/system/Sxs.h"
#include "dumper/system/System.h"

namespace kestrova::dumper::system {

struct WalkLimits {
  std::size_t modules = 1000;        // modules reached, the program included
  std::uint64_t work = 1u << 22;     // imports checked, forwarders followed, modules read
  int forwardDepth = 16;             // forwarder to forwarder to ...
};

// What the loader stops at. A 32-bit DLL for a 64-bit program (or the other way
// round) ends the start with STATUS_INVALID_IMAGE_FORMAT, 0xC000007B.
enum class Failure : std::uint8_t {
  DllNotFound,
  ContractWithoutHost,  // an API set the schema holds with no host
  WrongMachine,
  BadImage,             // found, but not an image the loader could map
  NameMissing,          // function imported by name not exported
  OrdinalMissing,
  ForwardDllMissing,    // an export forwards to a DLL that is not found
  ForwardNameMissing,   // ... or to a function that DLL does not export
  ForwardTooDeep,
  AssemblyMissing,      // a side-by-side assembly of the manifest not in WinSxS: the process is not created
};
inline constexpr std::uint32_t kStatusInvalidImageFormat = 0xC000007B;

struct Problem {
  Failure kind = Failure::DllNotFound;
  bool delayed = false;      // only when a delay-loaded DLL is first called
  std::uint32_t importer = 0;  // module that imports
  std::string dll;           // as imported
  std::string function;      // name, or "#N"; empty for DLL-level failures
  std::string forward;       // the forwarder's target text, for forwarder failures
  std::string assembly;      // AssemblyMissing: the assembly asked for
};

// One imported DLL of a module, resolved.
struct Edge {
  std::string imported;      // the name as the import table gives it
  bool delay = false;        // from the delay-load table
  bool forward = false;      // reached only through an export forwarder
  ApiSetHit::Kind contract = ApiSetHit::Kind::NotContract;
  std::string host;          // contract: the host the schema gives
  bool exception = false;    // contract: the host chosen for this importer
  Rule rule = Rule::NotFound;
  std::int32_t module = -1;  // index into Closure::modules; -1 when not found or cut
  bool cut = false;          // the module bound was reached before it
  std::uint32_t missing = 0; // functions through this edge that fail
  std::string assembly;      // side-by-side: the assembly that holds it
  bool sxsUnbound = false;   // side-by-side, but the assembly was not bound (see sxsJudged)
  bool sxsJudged = false;    // there was a WinSxS to look in
};

struct Node {
  std::string path, name;
  Rule rule = Rule::NotFound;  // how it was found the first time
  Module::State state = Module::State::Unreadable;
  std::uint16_t machine = 0;
  bool delayedOnly = true;   // reached only through delay-loaded DLLs
  std::size_t damage = 0;    // anomalies found in it
  std::vector<Edge> edges;
};

struct Closure {
  bool present = false;      // a system to resolve against, and imports to resolve
  std::string why;           // when not present
  std::vector<Node> modules; // [0] is the program
  std::vector<Problem> problems;
  bool cutModules = false, cutWork = false;
  std::uint64_t work = 0;
  // Failures at start (delay-loaded ones aside).
  std::uint32_t dllsMissing = 0, functionsMissing = 0, wrongMachine = 0, badImages = 0;
  std::uint32_t delayedFailures = 0, assembliesMissing = 0;
  std::vector<SxsBinding> assemblies;  // the manifest's dependent assemblies, as bound
  bool WillLoad() const { return dllsMissing + functionsMissing + wrongMachine + badImages + assembliesMissing == 0; }
};

// The system and folders a listing's Dependencies part resolves against.
struct Environment {
  Files* files = nullptr;
  SystemView view;
  std::string appDir;   // the application folder of the file being listed
  std::string program;  // its path
  WalkLimits limits;
};

struct WalkInput {
  std::string path;                       // the program's path (its name is the importer's)
  std::span<const std::uint8_t> bytes;    // its bytes
  std::string appDir;                     // the application folder
  std::vector<Assembly> assemblies;       // its manifest's dependent assemblies
};

// Walks the closure of the program's imports against `sys`. The API-set schema
// is read from the system folder's apisetschema.dll when it is there.
Closure WalkClosure(Files& files, const SystemView& sys, ModuleCache& cache, const WalkInput& in,
                    const WalkLimits& limits = {});

}  // namespace kestrova::dumper::system
