// The crash lab's scenarios: each one faults, throws or freezes in its own way.
#pragma once

#include <string>
#include <vector>

namespace crashlab {

struct TScenario {
    const char* name;
    const char* caption;
    void (*run)();
};

const std::vector<TScenario>& Scenarios();
// Runs the named scenario; false when there is none by that name.
bool RunScenario(const std::string& name);

} // namespace crashlab
