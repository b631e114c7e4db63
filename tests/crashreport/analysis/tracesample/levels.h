// The known call chain of the tracer's sample: main -> Level1 -> ... -> Level6, spread over
// three files, plus a recursion and calls through a register.
#pragma once

namespace sample {

using TStep = int (*)(int);

int Level1(int n);
int Level2(int n);
int Level3(int n);
int Level4(int n);
int Level5(int n);
int Level6(int n);
int Recurse(int depth);
// Calls `step` through a register (call reg) and jumps to it through a register (jmp reg).
int CallThrough(TStep step, int n);
int JumpThrough(TStep step, int n);

extern volatile int Sink;
extern volatile TStep NextStep;

} // namespace sample
