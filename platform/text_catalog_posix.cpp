// The text catalogue on Linux: GNU gettext.
#include <libintl.h>

#include "platform/text_catalog.h"

namespace tarvo::platform {

void BindTextDomain(const char* domain, const char* directory) {
  ::bindtextdomain(domain, directory);
}

std::string TranslateText(const char* domain, const char* msgid) {
  return ::dgettext(domain, msgid);
}

}  // namespace tarvo::platform
