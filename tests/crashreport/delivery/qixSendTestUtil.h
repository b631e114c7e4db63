// Test doubles for the delivery dialogues: a channel that plays back scripted server
// bytes and records what the client sent, and helpers for files and oracle scripts.
#pragma once

#include "crashreport/delivery/qixExceptSend_Channel.h"
#include "crashreport/ui/qixProgressAlert.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qix::test {

class TScriptedChannel : public IByteChannel {
public:
    // Each Receive hands out the next piece; after the last one, `atEnd`.
    std::deque<std::string> Pieces;
    TReceiveStatus AtEnd = TReceiveStatus::Closed;
    std::string Sent;
    size_t FailSendAfter = std::string::npos; // bytes accepted before sending fails
    size_t Receives = 0;

    bool Send(std::string_view bytes) override {
        if (Sent.size() + bytes.size() > FailSendAfter) return false;
        Sent.append(bytes);
        return true;
    }
    TReceiveStatus Receive(std::string& into, size_t maxBytes) override {
        ++Receives;
        if (Pieces.empty()) return AtEnd;
        std::string& piece = Pieces.front();
        const size_t n = std::min(maxBytes, piece.size());
        into.append(piece, 0, n);
        piece.erase(0, n);
        if (piece.empty()) Pieces.pop_front();
        return TReceiveStatus::Data;
    }
};

// Counts what the dialogues report; everything else is a no-op.
struct TCountingProgress : IProgressAlert {
    int Done = 0;
    int32_t Position = 0;
    std::string GetCaption() override { return {}; }
    void SetCaption(const std::string&) override {}
    int32_t GetProgress() override { return Position; }
    void SetProgress(int32_t p) override {
        EXPECT_GE(p, 0);
        EXPECT_LE(p, 1000);
        Position = p;
    }
    void AddPhase(const std::string&, uint64_t) override {}
    void ClearPhases() override {}
    void PhaseDone() override { ++Done; }
    int32_t GetPhase() override { return Done; }
    void SetPhase(int32_t) override {}
    void PumpMessages() override {}
    bool Display(void*, bool) override { return true; }
    void Dismiss() override {}
};

// A fresh folder per test, removed afterwards.
class TTempDir {
public:
    TTempDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Path = std::filesystem::temp_directory_path() /
               (std::string("qixsend-") + info->test_suite_name() + "-" + info->name());
        std::filesystem::remove_all(Path);
        std::filesystem::create_directories(Path);
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(Path, ec);
    }
    std::string File(const std::string& name, const std::string& content) const {
        const auto p = Path / name;
        std::ofstream(p, std::ios::binary) << content;
        return p.string();
    }
    std::filesystem::path Path;
};

// Lower-case hex of the bytes, for readable byte comparisons.
inline std::string Hex(std::string_view s) {
    static const char* d = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += d[c >> 4];
        out += d[c & 15];
    }
    return out;
}

// Runs a command and returns its standard output; the exit status must be 0.
inline std::string RunTool(const std::string& command) {
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        out.append(buffer, n);
    const int status = pclose(pipe.release());
    EXPECT_EQ(status, 0) << "oracle failed: " << command << "\n" << out;
    return out;
}

// Line by line, so a mismatch in a long oracle listing shows only the lines that differ.
inline void ExpectSameLines(const std::string& actual, const std::string& expected) {
    const auto split = [](const std::string& text) {
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            lines.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        return lines;
    };
    const auto a = split(actual), e = split(expected);
    EXPECT_EQ(a.size(), e.size()) << "line count; actual:\n" << actual.substr(0, 2000);
    for (size_t i = 0; i < std::min(a.size(), e.size()); ++i)
        if (a[i] != e[i]) {
            size_t at = 0;
            while (at < a[i].size() && at < e[i].size() && a[i][at] == e[i][at])
                ++at;
            ADD_FAILURE() << "line " << i << " differs at column " << at
                          << "\n  actual:   " << a[i].substr(at > 40 ? at - 40 : 0, 160)
                          << "\n  expected: " << e[i].substr(at > 40 ? at - 40 : 0, 160);
        }
}

} // namespace qix::test
