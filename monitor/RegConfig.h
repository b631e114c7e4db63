#pragma once
// Stores and restores the texts of a window's edit boxes in the current user's
// registry, one string value per control, named after the control.
#include "framework/Controls.h"

void SaveControls(fw::TControl* Control, bool Strict);
void LoadControls(fw::TControl* Control, bool Strict);

// Software\VORN\<application title>
std::string ConfigKey();
