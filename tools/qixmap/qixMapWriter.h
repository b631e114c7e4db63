// Writers of the map data block and of the text map that the reader accepts.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qix {

// Debug information with addresses relative to the first byte of code.
struct TMapContent {
    struct Segment {
        int32_t Start = 0;
        uint32_t Length = 0;
        std::string Unit;
        uint8_t HasLineInfo = 0;
    };
    struct Public {
        std::string Name;
        int32_t Address = 0;
    };
    struct Line {
        int32_t Number = 0;
        int32_t Address = 0;
    };
    std::vector<Segment> Segments;
    std::vector<Public> Publics; // ascending addresses
    std::vector<Line> Lines;     // ascending addresses
    std::optional<int32_t> EntryPoint;
};

// The uncompressed payload; a reduced one leaves out every name.
std::vector<uint8_t> EncodeMapPayload(const TMapContent& content, bool reduced);
// Length, four unused bytes, CRC-32, raw deflate.
std::vector<uint8_t> CompressMapPayload(const std::vector<uint8_t>& raw);

struct TMapBlockHeader {
    uint32_t Version = 3;
    uint32_t IdA = 0, IdB = 0, Flags = 0;
};
// Enciphers the compressed payload and puts the header in front.
std::vector<uint8_t> BuildMapBlock(const std::vector<uint8_t>& compressed,
                                   const TMapBlockHeader& header);
std::vector<uint8_t> BuildMapBlock(const TMapContent& content, const TMapBlockHeader& header);

// A text linker map of the content; `codeLength` is the size of the code section.
std::string WriteTextMap(const TMapContent& content, uint32_t codeLength);

} // namespace qix
