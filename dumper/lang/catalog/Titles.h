#pragma once
// The parts' titles and their names in the Anomalies summary, from the table of parts.
#include "dumper/lang/Lang.h"

namespace kestrova::dumper::lang::M {
#define PART(Id, title, titleZh, summary, summaryZh, anchor) \
  KESTROVA_MSG(Title##Id, title, titleZh) KESTROVA_MSG(Area##Id, summary, summaryZh)
#include "dumper/Parts.def"
#undef PART
}  // namespace kestrova::dumper::lang::M
