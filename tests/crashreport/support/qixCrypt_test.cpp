#include "crashreport/support/qixCrypt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace qix;

namespace {

std::string FromHex(std::string_view hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return out;
}

std::string ToHex(std::string_view bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

struct EcbVector {
    const char* key;
    const char* clear;
    const char* cipher;
};

// Eric Young's ECB set as published with the cipher (schneier.com vectors.txt),
// including its repeated all-zero line.
const EcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

std::string Lower(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

} // namespace

TEST(QixCryptBlowfish, PublishedEcbVectorsInStandardOrder) {
    ASSERT_EQ(std::size(kEcbVectors), 34u);
    for (const auto& v : kEcbVectors) {
        const std::string key = FromHex(v.key);
        std::string block = FromHex(v.clear);
        CryptBuffer(block.data(), block.size(), true, false, 0, 0, key);
        EXPECT_EQ(ToHex(block), Lower(v.cipher)) << "key " << v.key;
        CryptBuffer(block.data(), block.size(), false, false, 0, 0, key);
        EXPECT_EQ(ToHex(block), Lower(v.clear)) << "key " << v.key;
    }
}

TEST(QixCryptBlowfish, NativeOrderSwapsWordsAndByteOrder) {
    const std::string key = FromHex("FEDCBA9876543210");
    // Native order reads L from bytes 4..7 and R from bytes 0..3, both little-endian;
    // feeding it the published clear block rearranged that way must give the published
    // cipher block rearranged the same way.
    auto toNative = [](std::string be) {
        std::string n(8, '\0');
        for (int i = 0; i < 4; ++i) {
            n[4 + i] = be[3 - i];
            n[i] = be[7 - i];
        }
        return n;
    };
    std::string block = toNative(FromHex("0123456789ABCDEF"));
    OldEncrypt(block, key);
    EXPECT_EQ(block, toNative(FromHex("0ACEAB0FC6A0A28D")));

    std::string standard = FromHex("0123456789ABCDEF");
    std::string native = standard;
    CryptBuffer(standard.data(), 8, true, false, 0, 0, key);
    CryptBuffer(native.data(), 8, true, true, 0, 0, key);
    EXPECT_NE(standard, native);
}

TEST(QixCryptBlowfish, PartialBlocksAreLeftAlone) {
    const std::string seven = "1234567";
    std::string text = seven;
    OldEncrypt(text, "key");
    EXPECT_EQ(text, seven);
    OldDecrypt(text, "key");
    EXPECT_EQ(text, seven);
    std::string viaDecrypt = "abcdef\x05";
    Decrypt(viaDecrypt, "key", 0, 0); // cipher leaves it, padding rule finds no run
    EXPECT_EQ(viaDecrypt, "abcdef\x05");

    const std::string twelve = "ABCDEFGHIJKL";
    text = twelve;
    OldEncrypt(text, "key");
    EXPECT_NE(text.substr(0, 8), twelve.substr(0, 8));
    EXPECT_EQ(text.substr(8), "IJKL");
}

TEST(QixCryptBlowfish, RoundTripsForAnyLength) {
    for (size_t len = 0; len < 40; ++len) {
        std::string plain;
        for (size_t i = 0; i < len; ++i)
            plain += static_cast<char>(i * 37 + 11);
        std::string text = plain;
        OldEncrypt(text, "a fairly long key that goes beyond seventy-two bytes of length....!");
        if (len >= 8) {
            EXPECT_NE(text, plain);
        }
        OldDecrypt(text, "a fairly long key that goes beyond seventy-two bytes of length....!");
        EXPECT_EQ(text, plain) << len;
    }
}

TEST(QixCryptBlowfish, KeyBytesBeyond72HaveNoEffect) {
    const std::string base(72, 'k');
    std::string a = "12345678", b = a;
    OldEncrypt(a, base);
    OldEncrypt(b, base + "different tail");
    EXPECT_EQ(a, b);
}

TEST(QixCryptBlowfish, EmptyKeyLeavesDataUnchanged) {
    std::string text = "0123456789abcdef";
    OldEncrypt(text, "");
    EXPECT_EQ(text, "0123456789abcdef");
    CryptBuffer(text.data(), text.size(), true, false, 5, 0, "");
    EXPECT_EQ(text, "0123456789abcdef");
}

TEST(QixCryptCounter, KeyStreamIsEncipheredCounterPlusOne) {
    const std::string key = FromHex("0123456789ABCDEF");
    // Counter bytes: low 1 little-endian, then high 0xff000000 little-endian, i.e.
    // 01 00 00 00 00 00 00 ff; the big-endian increment carries from byte 7 into byte 6.
    // Expected stream: pycryptodome's Blowfish ECB of 0100000000000100 and 0100000000000101.
    std::string data(16, '\0');
    CryptBuffer(data.data(), data.size(), false, false, 1, 0xff000000, key);
    EXPECT_EQ(ToHex(data), "2d17d875824c18e07a629cc48a0f7355");
}

TEST(QixCryptCounter, IncrementWrapsAcrossAllBytes) {
    const std::string key = "wrap";
    std::string data(8, '\0');
    CryptBuffer(data.data(), 8, true, false, 0xffffffff, 0xffffffff, key);
    std::string zero(8, '\0');
    CryptBuffer(zero.data(), 8, true, false, 0, 0, key);
    EXPECT_EQ(data, zero);
}

TEST(QixCryptCounter, ApplyingTwiceRestores) {
    const std::string plain = "The quick brown fox jumps over the lazy dog";
    std::string text = plain;
    CryptBuffer(text.data(), text.size(), true, false, 1234, 99, "secret");
    EXPECT_NE(text, plain);
    EXPECT_EQ(text.substr(40), plain.substr(40));
    CryptBuffer(text.data(), text.size(), true, false, 1234, 99, "secret");
    EXPECT_EQ(text, plain);
}

TEST(QixCryptPadding, RemovalRules) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"abc\x01", "abc"},
        {"ab\x03\x03\x03", "ab"},
        {"ab\x02\x03\x03", "ab\x02\x03\x03"}, // only one of the two before is 3
        {std::string("abc\0", 4), std::string("abc\0", 4)},
        {"abc\x09", "abc\x09"},
        {"\x08\x08\x08\x08\x08\x08\x08\x08", ""},
        {"\x05\x05\x05", "\x05\x05\x05"}, // run longer than the text: not padding
        {"", ""},
    };
    for (auto& c : cases) {
        std::string text = c.in;
        RemovePadding(text);
        EXPECT_EQ(text, c.out) << ToHex(c.in);
    }
}

TEST(QixCryptPadding, AddThenRemoveRestoresEveryLength) {
    for (size_t len = 0; len < 20; ++len) {
        std::string text(len, 'x');
        AddPadding(text);
        EXPECT_EQ(text.size() % 8, 0u);
        EXPECT_GT(text.size(), len);
        RemovePadding(text);
        EXPECT_EQ(text, std::string(len, 'x'));
    }
}

TEST(QixCryptPassword, RoundTripsThroughTheWriterEncoding) {
    const std::vector<std::string> passwords = {
        "p", "hunter2", "exactly8", "a much longer pass phrase", std::string("\x01\x02\x08", 3)};
    for (const auto& pw : passwords) {
        const std::string stored = EncryptPassword(pw, "me@example.org", "smtp.example.org");
        EXPECT_NE(stored.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  0u);
        EXPECT_EQ(DecryptPassword(stored, "me@example.org", "smtp.example.org"), pw);
        EXPECT_NE(DecryptPassword(stored, "me@example.org", "other.server"), pw);
    }
    // Reference value from an independent model of the scheme built on pycryptodome.
    EXPECT_EQ(EncryptPassword("hunter2", "me@example.org", "smtp.example.org"),
              "Rd2lZVT3XotehhLk4AhMCg==");
    // Without account and server the cipher steps are no-ops; padding still round-trips.
    EXPECT_EQ(DecryptPassword(EncryptPassword("pw", "", ""), "", ""), "pw");
}

TEST(QixCryptBase64, Rfc4648Vectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(EncodeBase64(plain), encoded);
        EXPECT_EQ(DecodeBase64(encoded), plain);
    }
}

TEST(QixCryptBase64, AllByteValuesRoundTrip) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (size_t len = 0; len <= all.size(); len += 17)
        EXPECT_EQ(DecodeBase64(EncodeBase64(all.substr(0, len))), all.substr(0, len));
}

TEST(QixCryptBase64, MalformedInput) {
    EXPECT_EQ(DecodeBase64("Zm9vY"), "");           // length 5
    EXPECT_EQ(DecodeBase64("Zm9"), "");             // length 3
    EXPECT_EQ(DecodeBase64("Zm9v====Zm9v"), "foo"); // decoding ends at the first '='
    EXPECT_EQ(DecodeBase64("Zm9v*m9v"), "foo");
    EXPECT_EQ(DecodeBase64("===="), "");
}
