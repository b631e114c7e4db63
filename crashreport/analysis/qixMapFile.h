// One module's debug information: units, procedures and source lines by address and by name.
#pragma once
#include "crashreport/analysis/qixAddress.h"
#include "crashreport/analysis/qixAddressIndex.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qix {

// The compiled map data block: a fixed signature and the word of its payload password.
inline constexpr char MapSignature[] = "qixMapData#v23";
inline constexpr size_t MapSignatureLength = 14;
inline constexpr char MapPasswordWord[] = "RAVLNK";
inline constexpr size_t MapHeaderV2 = 22;
inline constexpr size_t MapHeaderV3 = 34;

struct TMapSegment {
    uint8_t Valid = 0;
    bool IsCode = false;
    TAddress Start = 0;
    uint32_t Length = 0;
    std::string UnitName;
    uint8_t HasLineInfo = 0;
};

struct TMapPublic {
    uint8_t Valid = 0;
    bool IsCode = false;
    std::string Name;
    TAddress Address = 0;
};

struct TMapLine {
    int32_t Line = 0;
    TAddress Address = 0;
};

class TPeImage;

// Where a module's debug information comes from: its headers and resources (loaded in memory
// or read from its file), its load address and its file name (which also locates side files).
struct TModuleSource {
    const TPeImage* Image = nullptr;
    TAddress Module = 0;
    std::string FileName;
};

class TMapFile {
public:
    TMapFile() = default;
    TMapFile(bool enabled, bool codeOnly, const TModuleSource& source);

    TMapSegment FindSegment(bool isCode, TAddress address) const;
    // The same lookups without copying names: null when there is no match.
    const TMapSegment* SegmentAt(bool isCode, TAddress address) const;
    const TMapPublic* PublicAt(TAddress address) const;
    TMapPublic FindPublic(TAddress address) const;
    TAddress FindPublicByName(bool isCode, const std::string& unitName, bool caseSensitive,
                              const std::string& name) const;
    int32_t FindLine(TAddress address, TAddress& nextLineAddress) const;
    // Empty unless a public starts exactly at the address.
    std::string GetPublicNameAt(TAddress address) const;

    bool CodeOnly() const { return codeOnly_; }
    bool Valid() const { return valid_; }
    TAddress Module() const { return module_; }
    TAddress EntryPoint() const { return entryPoint_; }
    TAddress BaseOfCode() const { return baseOfCode_; }
    TAddress TopOfCode() const { return topOfCode_; }
    TAddress BaseOfData() const { return baseOfData_; }
    TAddress TopOfData() const { return topOfData_; }
    const std::string& ModuleFileName() const { return moduleFileName_; }
    const std::string& MapFileName() const { return mapFileName_; }
    const std::string& MinDebugInfo() const { return minDebugInfo_; }
    const std::vector<TMapSegment>& Segments() const { return segments_; }
    const std::vector<TMapPublic>& Publics() const { return publics_; }
    const std::vector<TMapLine>& Lines() const { return lines_; }
    int32_t SegmentCount() const { return int32_t(segments_.size()); }
    int32_t PublicCount() const { return int32_t(publics_.size()); }
    int32_t LineCount() const { return int32_t(lines_.size()); }

    // Loaders, public so that tests and tools can feed one source directly.
    bool ImportMapData(std::span<const uint8_t> block);
    void ParseTextMap(std::string_view text);
    bool ReadSymbolTable(std::span<const uint8_t> debugData);
    bool ReadJdbg(std::span<const uint8_t> file);
    // Sorts what a loader left and marks the object valid; loaders called directly need it.
    void FinishLoad(bool valid);
    // Code bounds without a PE image (tests, tools).
    void SetBounds(TAddress baseOfCode, TAddress topOfCode, TAddress baseOfData = 0,
                   TAddress topOfData = 0);

private:
    friend class TMapBuilder;
    bool LoadFromImage(const TModuleSource& source);
    bool LoadSymbolTableFile();
    bool LoadSideFiles(bool reduced);
    bool ImportPayload(std::span<const uint8_t> payload, bool reduced);
    int FindSegmentIndex(bool isCode, TAddress address) const;
    int FindPublicIndex(TAddress address) const;

    void AddSegment(bool isCode, TAddress address, uint32_t length, std::string unitName,
                    bool relative, bool tracked, bool sorted);
    void AddPublic(bool isCode, std::string name, TAddress address, bool tracked);
    void AddLine(int32_t line, TAddress address) {
        indexed_ = false;
        lines_.push_back({line, address});
    }
    void SortSegments();
    void TidySegments(bool fill);

    bool codeOnly_ = false;
    std::vector<TMapSegment> segments_;
    std::vector<TMapPublic> publics_;
    std::vector<TMapLine> lines_;
    TAddress entryPoint_ = 0;
    TAddress baseOfData_ = 0, topOfData_ = 0;
    TAddress module_ = 0;
    bool valid_ = false;
    TAddress baseOfCode_ = 0, topOfCode_ = 0;
    std::string moduleFileName_, mapFileName_, minDebugInfo_;

    // Load-time state.
    const TPeImage* image_ = nullptr;
    int lastSegment_[2] = {-1, -1};

    // Address indexes, built once loading is done; until then lookups search the arrays.
    void BuildIndex();
    bool indexed_ = false;
    size_t firstData_ = 0;
    TAddressIndex codeStarts_, dataStarts_, publicIndex_, lineIndex_;
    // Per segment, the highest end among it and the segments of its kind before it: the search
    // for a covering segment stops once nothing further down can reach the address.
    std::vector<uint64_t> reach_;
};

// Splits a mangled name into unit and readable name; false when the name is not mangled.
bool DemangleSymbol(std::string& name, std::string& unitName);

// Identification of a map data block ("$xxxxxxxx, $xxxxxxxx, $xxxxxxxx"), empty when too short.
std::string MapDataIdentification(std::span<const uint8_t> block);
// The password that deciphers a payload of the given length.
std::string MapPayloadPassword(uint32_t payloadLength);
// Inflates a compressed block (length, unused, CRC-32, raw deflate); empty on any fault.
std::vector<uint8_t> InflateMapPayload(std::span<const uint8_t> block);

struct TAddressInfo {
    std::string ModuleFileName, UnitName, PublicName;
    TAddress PublicAddress = 0;
    int32_t Line = 0;
};
// Address details from one map; false for a null address or an invalid map.
bool GetAddressInfo(const TMapFile& map, TAddress address, TAddressInfo& info);
// Skips the lookup while the address stays inside the last line's range.
void GetLineNumberCached(const TMapFile& map, TAddress address, int32_t& line, TAddress& rangeStart,
                         TAddress& rangeEnd);

} // namespace qix

#ifdef _WIN32
namespace qix {

// The debug information of a loaded module (null: the main executable's), read from its image
// in memory and its side files.
std::unique_ptr<TMapFile> CreateMapFileForModule(void* module, bool enabled, bool codeOnly);
// The map of the module holding the address (null: the main executable). A valid map is shared
// with the process-wide cache and stays usable after the cache drops it; an invalid one is
// never cached.
std::shared_ptr<const TMapFile> GetMapFileForAddress(TAddress address);
bool GetAddressInfo(TAddress address, TAddressInfo& info);
std::string GetPublicNameAt(TAddress address);
void GetLineNumberCached(TAddress address, int32_t& line, TAddress& rangeStart, TAddress& rangeEnd);
// Drops every cached map; run at library shutdown.
void ClearMapFileCache();

} // namespace qix
#endif
