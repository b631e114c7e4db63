// The progress alert as its users see it: a caption, a bar in per mille, weighted phases,
// and a window that can be shown and dismissed. Windows-free.
#pragma once
#include <cstdint>
#include <string>

namespace qix {

struct IProgressAlert {
    virtual ~IProgressAlert() = default;
    virtual std::string GetCaption() = 0;
    virtual void SetCaption(const std::string&) = 0;
    virtual int32_t GetProgress() = 0;
    virtual void SetProgress(int32_t) = 0;
    virtual void AddPhase(const std::string& text, uint64_t weight) = 0;
    virtual void ClearPhases() = 0;
    virtual void PhaseDone() = 0;
    virtual int32_t GetPhase() = 0;
    virtual void SetPhase(int32_t) = 0;
    virtual void PumpMessages() = 0;
    virtual bool Display(void* ownerWindow, bool activate) = 0;
    virtual void Dismiss() = 0;
    // Before Display: the window gets a button with this caption that marks the work aborted.
    // The work polls Aborted (after PumpMessages when it runs on the window's thread).
    // Alerts without a button are never aborted.
    virtual void AllowAbort(const std::string& /*caption*/) {}
    virtual bool Aborted() { return false; }
};

} // namespace qix
