// Windows side of the settings: the per-process shared settings buffer, the
// "TQIXEXCEPT" resource of a module, and which module's settings apply to an address.
#pragma once

#include "crashreport/core/qixExcept_Settings.h"

#include <memory>
#include <span>
#include <string>

namespace qix {

// The module's "TQIXEXCEPT" RCDATA resource; empty when it has none.
std::span<const uint8_t> FindSettingsResource(TModuleHandle module);

// Executable and module file names from the loader, local time from the system clock.
std::shared_ptr<const ISettingsEnvironment> WindowsSettingsEnvironment();

// Names of the per-process kernel objects ("$" and the process id in lower-case hex).
std::string SettingsBufferName();
std::string SettingsMutexName();

// Settings of one module: valid only when the module carries the resource and the shared
// buffer is available. Loading happens once per process and module.
std::shared_ptr<IQXModuleSettings>
ModuleSettings(TModuleHandle module, std::shared_ptr<const IQXSettings> processWide = nullptr);

// The module that contains this library (the code calling into it).
TModuleHandle LibraryModule();

// The settings that apply to code at `address`: that module's, unless they ask to defer
// (NoSettings) to another module's; the library's own module's as the last resort.
std::shared_ptr<IQXSettings> FindSettings(const void* address,
                                          std::shared_ptr<const IQXSettings> processWide = nullptr);

// FindSettings for the return address `levels` frames above the caller.
std::shared_ptr<IQXSettings>
CallerSettings(int levels, std::shared_ptr<const IQXSettings> processWide = nullptr);

} // namespace qix
