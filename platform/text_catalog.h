#pragma once
// The system's catalogue of translated message texts.
//
// Twins: text_catalog_posix.cpp (GNU gettext, part of glibc) and
// text_catalog_win32.cpp (no catalogue: every text stays as passed in, the
// English message id itself).
//
// Threads: BindTextDomain belongs to start-up code (call it once, before
// translating); TranslateText may then be called from any thread.
#include <string>

namespace tarvo::platform {

// Names the directory that holds the catalogues of `domain`.
void BindTextDomain(const char* domain, const char* directory);
// The translation of `msgid` in `domain` for the current locale, or `msgid`
// itself when there is none.
std::string TranslateText(const char* domain, const char* msgid);

}  // namespace tarvo::platform
