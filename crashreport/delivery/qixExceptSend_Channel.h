// What the mail and upload dialogues need from a connection. The Windows side puts a
// blocking socket with select time-outs behind it; tests put scripted replies.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qix {

enum class TReceiveStatus {
    Data,     // at least one byte was appended
    Closed,   // the peer closed the connection
    TimedOut, // nothing arrived within the reply time-out
    Failed,   // socket error
};

struct IByteChannel {
    virtual ~IByteChannel() = default;
    // All bytes or false.
    [[nodiscard]] virtual bool Send(std::string_view bytes) = 0;
    // Appends up to maxBytes to `into`, waiting at most the channel's reply time-out.
    [[nodiscard]] virtual TReceiveStatus Receive(std::string& into, size_t maxBytes) = 0;
};

// Where streamed message text goes; false stops the writer.
using TByteSink = std::function<bool(std::string_view)>;

} // namespace qix
