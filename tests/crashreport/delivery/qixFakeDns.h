// A DNS server in a table, for the lookup and delivery tests: answers are keyed by
// server, question name and type; unknown questions stay silent.
#pragma once

#include "crashreport/delivery/qixExceptSend_Dns.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace qix::test {

inline std::string Name(std::string_view dotted) {
    std::string out;
    size_t start = 0;
    while (start < dotted.size()) {
        size_t end = dotted.find('.', start);
        if (end == std::string_view::npos) end = dotted.size();
        out += char(end - start);
        out += dotted.substr(start, end - start);
        start = end + 1;
    }
    return out + '\0';
}

inline std::string U16(int v) {
    return {char(v >> 8), char(v & 0xff)};
}

struct TZoneData {
    std::vector<std::pair<std::string, int>> Mx; // host, preference
    std::vector<std::string> Ns, Referral;
};

// Answers from a table keyed by server, name and type; unknown questions stay silent.
class TFakeDns : public IDnsExchange {
public:
    std::map<std::tuple<std::string, std::string, int>, TZoneData> Zones;
    std::vector<std::string> Asked; // "server name type"

    std::string Exchange(const std::string& server, std::string_view query) override {
        // The question name starts at 12 and is uncompressed in a query.
        std::string name;
        size_t at = 12;
        while (at < query.size() && query[at]) {
            if (!name.empty()) name += '.';
            name += query.substr(at + 1, size_t(query[at]));
            at += 1 + size_t(query[at]);
        }
        const int type = (uint8_t(query[at + 1]) << 8) | uint8_t(query[at + 2]);
        Asked.push_back(server + " " + name + " " + std::to_string(type));
        const auto found = Zones.find({server, name, type});
        if (found == Zones.end()) return {};
        const TZoneData& z = found->second;
        std::string reply(query);
        reply[2] = char(0x81);
        reply[3] = char(0x80);
        reply.replace(6, 4, U16(int(z.Mx.size() + z.Ns.size())) + U16(int(z.Referral.size())));
        const auto record = [&](int rtype, const std::string& rdata) {
            reply += Name(name) + U16(rtype) + U16(1) + std::string(4, '\0') +
                     U16(int(rdata.size())) + rdata;
        };
        for (const auto& [host, pref] : z.Mx)
            record(15, U16(pref) + Name(host));
        for (const std::string& ns : z.Ns)
            record(2, Name(ns));
        for (const std::string& ns : z.Referral)
            record(2, Name(ns));
        return reply;
    }
};

} // namespace qix::test
