// The six process-wide handler lists (exception, action and hidden-exception handlers,
// each as plain procedures and as object methods), their registration, and the walk
// over them that DispatchHandlers runs on the handling or on the main thread.
#pragma once

#include <cstdint>
#include <functional>

namespace qix {

class IQXException;

// Action codes shared by handlers and box buttons.
enum TActionCode : uint8_t {
    kActionSend = 0,
    kActionSave = 1,
    kActionPrint = 2,
    kActionShow = 3,
    kActionContinue = 4,
    kActionRestart = 5,
    kActionClose = 6
};

// Sync modes: 0 handling thread; 1 main thread or not at all; 2 main thread when it
// can be reached, else the handling thread.
enum TSyncMode : uint8_t { kSyncNone = 0, kSyncMainOnly = 1, kSyncMainOrHere = 2 };

enum THandlerEvent : uint8_t { kEventException = 0, kEventAction = 1, kEventHidden = 2 };

using TExceptHandler = void (*)(IQXException& exception, bool& handled);
using TExceptHandlerOO = std::function<void(IQXException& exception, bool& handled)>;
using TActionHandler = void (*)(int action, IQXException& exception, bool& handled);
using TActionHandlerOO = std::function<void(int action, IQXException& exception, bool& handled)>;

// Registering a handler that is already listed updates its modes. Method handlers are
// identified by `key` (the object they belong to). The phase of an exception handler
// is the handling phase (1..4) in which it is called.
void RegisterExceptionHandler(TExceptHandler handler, TSyncMode sync, uint8_t phase);
void RegisterExceptionHandler(const void* key, TExceptHandlerOO handler, TSyncMode sync,
                              uint8_t phase);
void UnregisterExceptionHandler(TExceptHandler handler);
void UnregisterExceptionHandler(const void* key);
void RegisterActionHandler(TActionHandler handler, TSyncMode sync);
void RegisterActionHandler(const void* key, TActionHandlerOO handler, TSyncMode sync);
void UnregisterActionHandler(TActionHandler handler);
void UnregisterActionHandler(const void* key);
void RegisterHiddenExceptionHandler(TExceptHandler handler, TSyncMode sync);
void RegisterHiddenExceptionHandler(const void* key, TExceptHandlerOO handler, TSyncMode sync);
void UnregisterHiddenExceptionHandler(TExceptHandler handler);
void UnregisterHiddenExceptionHandler(const void* key);
void ClearAllHandlers();

struct TFireHandlersParams {
    THandlerEvent eventType = kEventException;
    uint8_t action = 0;
    IQXException* exception = nullptr;
    bool handled = false;
    bool callSync = false;
    bool syncFailed = false;
};

// Whether any handler of `event` exists (for exception handlers: of `phase`).
bool HandlersExist(THandlerEvent event, int phase = -1);
// Whether a handler that wants the main thread (sync mode 1 or 2) exists.
bool SyncHandlersExist(THandlerEvent event, int phase);
// Walks the lists for `params` on the current thread; true when any entry was called.
// Exceptions leaving a handler are swallowed.
bool RunHandlerLists(TFireHandlersParams& params);

} // namespace qix
