// The text catalogue on Windows: there is none, so the caller's built-in
// table (the English message ids) is the text shown.
#include "platform/text_catalog.h"

namespace tarvo::platform {

// Nothing to bind: no catalogue files are installed on Windows.
void BindTextDomain(const char*, const char*) {}

std::string TranslateText(const char*, const char* msgid) { return msgid; }

}  // namespace tarvo::platform
