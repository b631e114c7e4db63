// Binding the handler a form description names.
#pragma once

#include "crashreport/core/qixExcept_Settings.h"
#include "crashreport/ui/qixNVAssistant.h"

namespace qix {

constexpr std::string_view kContactHandlerName = "qixExcept.HandleContactForm";
constexpr std::string_view kScreenshotHandlerName = "qixExcept.HandleScreenshotForm";

// The two built-in names, or "unit.procedure" (or a bare procedure name) found in the
// module's debug information and accepted only as a function that ends by removing its
// one stack argument. Empty when the name cannot be bound.
TNVFormHandler ResolveFormHandler(std::string_view name, TModuleHandle module);

} // namespace qix
