// PNG output is judged by pngcheck and a zlib-only Python decoder; BMP input comes from
// a Python writer. Neither shares code with the encoders.
#include "crashreport/support/qixNVBitmap.h"
#include "crashreport/support/qixNVBitmap_Encode.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace qix;

namespace {

struct TRgb {
    uint8_t R, G, B;
};

struct TDecoded {
    int Width = 0, Height = 0, Depth = 0, ColourType = 0, PaletteEntries = 0, RowBytes = 0;
    bool PaddingClean = false;
    std::vector<int> Indices;
    std::vector<std::string> Rgb;
};

std::string Hex(TRgb c) {
    char s[8];
    std::snprintf(s, sizeof s, "%02x%02x%02x", c.R, c.G, c.B);
    return s;
}

class BitmapTest : public ::testing::Test {
protected:
    fs::path Dir;
    void SetUp() override {
        Dir = fs::temp_directory_path() /
              ("qixbmp-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(Dir);
        fs::create_directories(Dir);
    }
    void TearDown() override { fs::remove_all(Dir); }

    // (x, y) with y counted from the top, as the picture is seen.
    static PNVBitmap Make(int w, int h, const std::function<TRgb(int, int)>& colour) {
        auto canvas = CreateDibCanvas(w, h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                uint8_t* p = canvas->Pixels() + (static_cast<size_t>(h - 1 - y) * w + x) * 4;
                const TRgb c = colour(x, y);
                p[0] = c.B, p[1] = c.G, p[2] = c.R, p[3] = 0;
            }
        return std::make_shared<TINVBitmap>(std::move(canvas));
    }

    static TRgb At(INVBitmap& bmp, int x, int y) {
        auto& b = static_cast<TINVBitmap&>(bmp);
        const uint8_t* p =
            b.Pixels() + (static_cast<size_t>(b.Height() - 1 - y) * b.Width() + x) * 4;
        return {p[2], p[1], p[0]};
    }

    std::string Save(const std::string& name, const std::string& bytes) {
        const fs::path p = Dir / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    }

    static bool PngCheckAccepts(const std::string& path) {
        return std::system(("pngcheck -q '" + path + "' >/dev/null 2>&1").c_str()) == 0;
    }

    TDecoded Decode(const std::string& path) {
        const fs::path out = Dir / "decoded.txt";
        const std::string cmd = std::string("/usr/bin/python3 ") + QIX_PNGDECODE + " '" + path +
                                "' > '" + out.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        TDecoded d;
        std::ifstream in(out);
        std::string line, kind;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            ls >> kind;
            if (kind == "header") {
                ls >> d.Width >> d.Height >> d.Depth >> d.ColourType >> d.PaletteEntries >>
                    d.RowBytes >> d.PaddingClean;
            } else if (kind == "index") {
                for (int v; ls >> v;)
                    d.Indices.push_back(v);
            } else if (kind == "rgb") {
                for (std::string v; ls >> v;)
                    d.Rgb.push_back(v);
            }
        }
        return d;
    }

    TDecoded EncodeAndDecode(INVBitmap& bmp, int mode, std::string* png = nullptr) {
        const std::string bytes = bmp.PngData(mode);
        if (png) *png = bytes;
        const std::string path = Save("mode" + std::to_string(mode) + ".png", bytes);
        EXPECT_TRUE(PngCheckAccepts(path)) << "mode " << mode;
        return Decode(path);
    }
};

const TRgb kColours[] = {{0, 0, 0},     {255, 255, 255}, {200, 30, 40}, {20, 180, 60},
                         {10, 40, 220}, {255, 200, 0},   {90, 90, 90},  {0, 160, 160},
                         {128, 0, 128}, {250, 128, 114}, {30, 30, 30},  {240, 240, 200}};

TRgb Pattern(int x, int y) {
    return kColours[(x / 3 + 2 * y + x * y / 7) % 12];
}

TEST_F(BitmapTest, ColourPngWithFewColoursDecodesToTheExactPixels) {
    auto bmp = Make(37, 23, Pattern);
    const TDecoded d = EncodeAndDecode(*bmp, 0);
    EXPECT_EQ(d.Width, 37);
    EXPECT_EQ(d.Height, 23);
    EXPECT_EQ(d.Depth, 8);
    EXPECT_EQ(d.ColourType, 3);
    EXPECT_EQ(d.PaletteEntries, 256); // always full, even with 12 colours in use
    ASSERT_EQ(d.Rgb.size(), 37u * 23u);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x)
            ASSERT_EQ(d.Rgb[y * 37 + x], Hex(Pattern(x, y))) << x << "," << y;
}

TEST_F(BitmapTest, ColourPngOfAGradientStaysClose) {
    auto gradient = [](int x, int y) {
        return TRgb{static_cast<uint8_t>(x * 4), static_cast<uint8_t>(y * 4),
                    static_cast<uint8_t>((x + y) * 2)};
    };
    auto bmp = Make(64, 64, gradient);
    const TDecoded d = EncodeAndDecode(*bmp, 0);
    ASSERT_EQ(d.Rgb.size(), 64u * 64u);
    long total = 0;
    int worst = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const TRgb want = gradient(x, y);
            const unsigned got = std::stoul(d.Rgb[y * 64 + x], nullptr, 16);
            const int err = std::abs(int(got >> 16) - want.R) +
                            std::abs(int((got >> 8) & 255) - want.G) +
                            std::abs(int(got & 255) - want.B);
            total += err;
            worst = std::max(worst, err);
        }
    // 4096 colours into 256 entries: a few steps of error per channel at most.
    EXPECT_LT(total / (64 * 64), 12);
    EXPECT_LT(worst, 48);
}

TEST_F(BitmapTest, GreyPngPacksFourBitsWithCleanPadding) {
    const TRgb c[2][3] = {{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}},
                          {{255, 255, 255}, {128, 128, 128}, {10, 10, 10}}};
    auto bmp = Make(3, 2, [&](int x, int y) { return c[y][x]; });
    const TDecoded d = EncodeAndDecode(*bmp, 1);
    EXPECT_EQ(d.Depth, 4);
    EXPECT_EQ(d.PaletteEntries, 16);
    EXPECT_EQ(d.RowBytes, 3); // filter byte and two data bytes
    EXPECT_TRUE(d.PaddingClean);
    // Each pixel maps to the level nearest its luminance (77 R + 151 G + 28 B) / 256.
    const int levels[16] = {0,   28,  52,  73,  92,  109, 125, 140,
                            155, 170, 185, 199, 213, 227, 241, 255};
    ASSERT_EQ(d.Indices.size(), 6u);
    for (int i = 0; i < 6; ++i) {
        const TRgb p = c[i / 3][i % 3];
        const int grey = (77 * p.R + 151 * p.G + 28 * p.B) >> 8;
        int best = 0;
        for (int k = 1; k < 16; ++k)
            if (std::abs(grey - levels[k]) < std::abs(grey - levels[best])) best = k;
        EXPECT_EQ(d.Indices[i], best) << "pixel " << i;
        EXPECT_EQ(d.Rgb[i],
                  Hex({uint8_t(levels[best]), uint8_t(levels[best]), uint8_t(levels[best])}));
    }
    // The picture itself turns grey for every later use; worked out by hand:
    // red 77*255>>8 = 76, green 151*255>>8 = 150, blue 28*255>>8 = 27.
    EXPECT_EQ(Hex(At(*bmp, 0, 0)), "4c4c4c");
    EXPECT_EQ(Hex(At(*bmp, 1, 0)), "969696");
    EXPECT_EQ(Hex(At(*bmp, 2, 0)), "1b1b1b");
    EXPECT_EQ(Hex(At(*bmp, 1, 1)), "808080");
    // Grey is a fixed point: encoding again gives the same file.
    const std::string first = bmp->PngData(1);
    EXPECT_EQ(bmp->PngData(1), first);
    EXPECT_EQ(Hex(At(*bmp, 0, 0)), "4c4c4c");
}

TEST_F(BitmapTest, SizeLimitedModesPickTheShorterPng) {
    std::mt19937 gen(7);
    std::vector<TRgb> noise(256 * 256);
    for (TRgb& p : noise)
        p = {uint8_t(gen()), uint8_t(gen()), uint8_t(gen())};
    // A fresh picture per encoding: the grey branch changes the one it works on.
    auto fresh = [&] { return Make(256, 256, [&](int x, int y) { return noise[y * 256 + x]; }); };
    const TRgb p55 = noise[5 * 256 + 5];
    const int g55 = (77 * p55.R + 151 * p55.G + 28 * p55.B) >> 8;
    const std::string grey55 = Hex({uint8_t(g55), uint8_t(g55), uint8_t(g55)});
    ASSERT_NE(Hex(p55), grey55);

    std::string colour, grey, png;
    auto bmp = fresh();
    EXPECT_EQ(EncodeAndDecode(*bmp, 0, &colour).Depth, 8);
    EXPECT_EQ(Hex(At(*bmp, 5, 5)), Hex(p55)) << "colour PNG leaves the picture alone";
    EXPECT_EQ(EncodeAndDecode(*fresh(), 1, &grey).Depth, 4);
    ASSERT_GT(colour.size(), 51200u); // random pixels: colour needs about a byte each
    ASSERT_LT(colour.size(), 102400u);
    ASSERT_LT(grey.size(), colour.size());

    bmp = fresh();
    EXPECT_EQ(EncodeAndDecode(*bmp, 2, &png).Depth, 4);
    EXPECT_EQ(png, grey);
    EXPECT_EQ(Hex(At(*bmp, 5, 5)), grey55) << "the grey branch greys the picture";
    for (int mode : {3, 4, 5, 9, -1}) {
        bmp = fresh();
        EXPECT_EQ(EncodeAndDecode(*bmp, mode, &png).Depth, 8) << mode;
        EXPECT_EQ(png, colour) << mode;
        EXPECT_EQ(Hex(At(*bmp, 5, 5)), Hex(p55)) << mode;
    }
    // A small colour picture stays colour in every limited mode.
    auto small = Make(40, 40, Pattern);
    EXPECT_EQ(EncodeAndDecode(*small, 2).Depth, 8);
}

TEST_F(BitmapTest, BmpWritesAndReadsBack) {
    auto bmp = Make(13, 7, Pattern);
    const std::string path = (Dir / "shot.bmp").string();
    ASSERT_TRUE(bmp->WriteBmpFile(path));
    EXPECT_EQ(fs::file_size(path), 54u + 13 * 7 * 4);
    const std::string info = Dir / "identify.txt";
    ASSERT_EQ(std::system(("/usr/bin/identify -format '%m %w %h %[hex:p{0,0}] %[hex:p{11,5}]' '" +
                           path + "' > '" + info + "'")
                              .c_str()),
              0);
    std::string described;
    std::getline(std::ifstream(info), described);
    // ImageMagick calls the 40-byte-header format BMP3; it also tells top from bottom.
    std::string want = "BMP3 13 7 " + Hex(Pattern(0, 0)) + " " + Hex(Pattern(11, 5));
    for (char& ch : want)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(described, want);

    PNVBitmap back = LoadBmpFile(path);
    ASSERT_TRUE(back);
    ASSERT_EQ(back->Width(), 13);
    ASSERT_EQ(back->Height(), 7);
    EXPECT_EQ(back->BmpData(), bmp->BmpData());
}

TEST_F(BitmapTest, LoadsTheCommonBmpVariants) {
    for (const char* variant : {"rgb24", "core24", "pal8-topdown", "pal4", "pal1", "bf565"}) {
        const std::string path = (Dir / (std::string(variant) + ".bmp")).string();
        const std::string listing = (Dir / "expected.txt").string();
        const std::string cmd = std::string("/usr/bin/python3 ") + QIX_BMPWRITE + " '" + path +
                                "' " + variant + " 11 5 > '" + listing + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << variant;
        std::ifstream in(listing);
        std::vector<std::string> expected;
        for (std::string v; in >> v;)
            expected.push_back(v);

        PNVBitmap bmp = LoadBmpFile(path);
        ASSERT_TRUE(bmp) << variant;
        ASSERT_EQ(bmp->Width(), 11) << variant;
        ASSERT_EQ(bmp->Height(), 5) << variant;
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 11; ++x)
                ASSERT_EQ(Hex(At(*bmp, x, y)), expected[y * 11 + x])
                    << variant << " " << x << "," << y;
    }
}

TEST_F(BitmapTest, DamagedBmpFilesAreRefused) {
    auto bmp = Make(8, 8, Pattern);
    const std::string good = bmp->BmpData();
    EXPECT_FALSE(LoadBmpFile(Save("short.bmp", good.substr(0, good.size() - 1))));
    EXPECT_FALSE(LoadBmpFile(Save("head.bmp", good.substr(0, 30))));
    std::string wide = good;
    wide[18 + 3] = 0x7F; // width near 2^31
    EXPECT_FALSE(LoadBmpFile(Save("wide.bmp", wide)));
    std::string offset = good;
    offset[10 + 3] = static_cast<char>(0xFF); // pixels past the end
    EXPECT_FALSE(LoadBmpFile(Save("offset.bmp", offset)));
    std::string rle = good;
    rle[30] = 1;
    EXPECT_FALSE(LoadBmpFile(Save("rle.bmp", rle)));
    EXPECT_FALSE(LoadBmpFile((Dir / "missing.bmp").string()));
}

TEST_F(BitmapTest, ScaledCopyFitsTheBoxAndKeepsFlatColour) {
    auto bmp = Make(100, 50, [](int, int) { return TRgb{30, 120, 210}; });
    PNVBitmap up = bmp->ScaledCopy(200, 200);
    ASSERT_TRUE(up);
    EXPECT_EQ(up->Width(), 200);
    EXPECT_EQ(up->Height(), 100);
    PNVBitmap down = bmp->ScaledCopy(50, 50);
    ASSERT_TRUE(down);
    EXPECT_EQ(down->Width(), 50);
    EXPECT_EQ(down->Height(), 25);
    for (PNVBitmap s : {up, down})
        for (int y = 0; y < s->Height(); y += 7)
            for (int x = 0; x < s->Width(); x += 7) {
                const TRgb c = At(*s, x, y);
                EXPECT_NEAR(c.R, 30, 2);
                EXPECT_NEAR(c.G, 120, 2);
                EXPECT_NEAR(c.B, 210, 2);
            }
    EXPECT_FALSE(bmp->ScaledCopy(0, 50));
    EXPECT_FALSE(bmp->ScaledCopy(50, -1));
    // Tiny sources and extreme boxes: edge mirroring must stay inside the picture.
    auto dot = Make(1, 1, [](int, int) { return TRgb{9, 8, 7}; });
    PNVBitmap big = dot->ScaledCopy(40, 40);
    ASSERT_TRUE(big);
    EXPECT_EQ(Hex(At(*big, 20, 20)), "090807");
    auto line = Make(1000, 1, Pattern);
    PNVBitmap flat = line->ScaledCopy(10, 10);
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->Width(), 10);
    EXPECT_EQ(flat->Height(), 1);
}

TEST_F(BitmapTest, FileWritesFailCleanly) {
    auto bmp = Make(4, 4, Pattern);
    const std::string nowhere = (Dir / "no" / "such" / "shot.png").string();
    EXPECT_FALSE(bmp->WritePngFile(nowhere, 0));
    EXPECT_FALSE(bmp->WriteBmpFile(nowhere));
    const std::string png = (Dir / "shot.png").string();
    ASSERT_TRUE(bmp->WritePngFile(png, 3));
    EXPECT_TRUE(PngCheckAccepts(png));

    // A write that stops short (file-size limit) reports failure and leaves nothing.
    auto large = Make(200, 200, [](int x, int y) {
        return TRgb{uint8_t(x), uint8_t(y), uint8_t(x ^ y)};
    });
    const std::string cut = (Dir / "cut.bmp").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{32 * 1024, 32 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool ok = large->WriteBmpFile(cut);
        _exit(ok ? 1 : fs::exists(cut) ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported success, 2: partial file left";
}

} // namespace

namespace {

// Channel sums of a large bright picture pass 2^31; the palette must still hold the
// picture's one colour.
TEST(WuPaletteTest, LargePictureKeepsItsColour) {
    TPixelImage big{4096, 2200, std::vector<uint8_t>(size_t{4096} * 2200 * 4)};
    for (size_t i = 0; i < big.Pixels.size(); i += 4) {
        big.Pixels[i] = 251;
        big.Pixels[i + 1] = 252;
        big.Pixels[i + 2] = 253;
    }
    const TPalette palette = WuPalette(big.View());
    EXPECT_EQ(palette[0], 253);
    EXPECT_EQ(palette[1], 252);
    EXPECT_EQ(palette[2], 251);
    // Unused entries repeat the first and so can never win a colour search.
    EXPECT_EQ(palette[255 * 3], 253);
}

} // namespace
