// The two fall-backs that hand the report to the user's mail program: simple MAPI and
// the registered mailto command.
#pragma once

#include <string>
#include <vector>

namespace qix {

enum class TMapiResult { Failed = 0, Sent = 1, Cancelled = 2 };

// MAPISendMail from mapi32.dll, loaded for the call. Silent with recipients: no dialog.
TMapiResult SendViaMapi(const std::string& recipients, const std::string& subject,
                        const std::string& body, bool silent, void* ownerWindow,
                        const std::vector<std::string>& sendAsNames,
                        const std::vector<std::string>& files);

// Starts the command registered for mailto URLs; true when the process started.
bool SendViaMailto(const std::string& recipients, const std::string& subject,
                   const std::string& body);

// Takes a top-most window out of the top-most band for the object's lifetime, so the
// mail program's windows can come to the front.
class TNotTopMost {
public:
    explicit TNotTopMost(void* window);
    ~TNotTopMost();
    TNotTopMost(const TNotTopMost&) = delete;
    TNotTopMost& operator=(const TNotTopMost&) = delete;

private:
    void* window_ = nullptr;
};

} // namespace qix
