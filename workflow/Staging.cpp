#include "workflow/Error.h"
#include "workflow/Workflow.h"

namespace kestrova::workflow {

void ExtractResource(Platform& platform, std::u16string_view name, std::u16string_view type,
                     const std::u16string& target) {
  const std::optional<Bytes> bytes = platform.ReadResource(name, type);
  if (!bytes) throw Error(u"Resource " + std::u16string(name) + u" not found");
  const WriteResult written = platform.WriteWhole(target, *bytes);
  switch (written.status) {
    case WriteResult::Status::Ok:
      return;
    case WriteResult::Status::CreateFailed:
      throw Error(u"Cannot create file \"" + target + u"\". " + written.systemText);
    case WriteResult::Status::WriteFailed:
      throw Error(u"Stream write error");
  }
}

}  // namespace kestrova::workflow
