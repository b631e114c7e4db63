// The progress window: a small top-most tool window that the user cannot close, with an
// optional 32 x 32 icon, the current phase's text and one bar over all phases.
#pragma once

#include "crashreport/ui/qixProgressAlert.h"

#include <memory>
#include <string>

namespace qix {

using PProgressAlert = std::shared_ptr<IProgressAlert>; // the last reference closes the window

#ifdef _WIN32
// `iconModule` (an HMODULE; null: the executable) holds the icon as a bitmap resource named
// `iconName`: 40-byte header and 32 x 32 pixels of 32 bits with alpha. No such resource, no
// icon. The window is made by Display, on the calling thread.
PProgressAlert CreateProgressAlert(const std::string& title, void* iconModule,
                                   const std::string& iconName);
#endif

} // namespace qix
