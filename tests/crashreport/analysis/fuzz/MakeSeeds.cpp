// Writes the starting corpora of the map fuzz targets from the test builders:
// qix_map_seeds DIR creates DIR/{block,text,fb09,jdbg,pe}/.
#include "crashreport/analysis/qixMapFile.h"
#include "tests/crashreport/analysis/MapTestData.h"
#include "tools/qixmap/PeEmbed.h"
#include "tools/qixmap/qixMapWriter.h"

#include <filesystem>
#include <fstream>

using namespace qixtest;

static void Save(const std::filesystem::path& p, const Bytes& b) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::filesystem::path dir = argv[1];
    qix::TMapContent c;
    c.Segments = {{0, 0x100, "Main", 1}, {0x100, 0x80, "Util.cpp", 0}};
    c.Publics = {{"Start", 0}, {"Run", 0x40}, {"Helper", 0x100}};
    c.Lines = {{10, 0}, {11, 0x10}, {300, 0x2000}};
    c.EntryPoint = 0x10;
    Bytes block = qix::BuildMapBlock(c, {3, 1, 2, 0});
    block.insert(block.begin(), 1);
    Save(dir / "block/full", block);
    Bytes payload = qix::EncodeMapPayload(c, false);
    payload.insert(payload.begin(), 0);
    Save(dir / "block/payload", payload);
    Bytes reduced = qix::EncodeMapPayload(c, true);
    reduced.insert(reduced.begin(), 2);
    Save(dir / "block/reduced", reduced);
    const std::string text = qix::WriteTextMap(c, 0x1234);
    Save(dir / "text/written", Bytes(text.begin(), text.end()));
    Save(dir / "fb09/small", Fb09OneProcedure("C:\\src\\Main.pas", "@Main@Run$qqrv"));
    JdbgBuilder j;
    const uint32_t a = j.XorName("Main.pas"), b = j.PackedName("Run", true);
    j.Sources = {0, a};
    j.Symbols = {0x10, b, 0};
    j.Lines = {0, 1, 4, 2};
    Save(dir / "jdbg/checked", j.Build(true));
    Save(dir / "pe/with-block",
         qix::EmbedResource(MinimalPe(), u"QIX", u"EXCEPT", qix::BuildMapBlock(c, {})));
    return 0;
}
