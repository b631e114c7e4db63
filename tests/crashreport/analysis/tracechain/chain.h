// A known call chain over four files for the tracer under Wine:
// main -> RunChain -> Top1 -> Top2 -> Mid1 -> Mid2 -> Bottom1 -> Bottom2.
#pragma once

namespace chain {

enum TMode { FaultAtBottom, FaultInMiddle, WaitAtBottom, ThrowAtBottom };

int RunChain(TMode mode);
int Top1(TMode mode, int n);
int Top2(TMode mode, int n);
int Mid1(TMode mode, int n);
int Mid2(TMode mode, int n);
int Bottom1(TMode mode, int n);
int Bottom2(TMode mode, int n);

// A thread routine that runs the chain down to the wait.
unsigned long __stdcall Worker(void*);

// Bottom2 in wait mode signals Arrived and waits for Release.
extern void* Arrived;
extern void* Release;
extern volatile int* volatile Target;

} // namespace chain
