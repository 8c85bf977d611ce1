#include "workflow/Workflow.h"

#ifndef KESTROVA_UPDATE_HOST
#error "KESTROVA_UPDATE_HOST comes from the build"
#endif

namespace kestrova::workflow {

std::u16string UpdateAddress(std::u16string_view softName, std::u16string_view version) {
  // Joined as they are: the page expects the name and version unescaped, back to back.
  std::u16string address = u"http://" KESTROVA_UPDATE_HOST u"/?v=";
  address += softName;
  address += version;
  return address;
}

void OpenUpdatePage(Platform& platform, std::u16string_view softName,
                    std::u16string_view version) {
  platform.ShellOpen(UpdateAddress(softName, version), u"", kShowNormal);
}

}  // namespace kestrova::workflow
