// `qixinspect lookup FILE ADDRESS...`: names addresses from a module's debug information.
#pragma once

int RunLookup(int argc, char** argv);
