#include "inspection/SignatureCursor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

SignatureCursor Over(const std::vector<uint8_t>& blob) { return SignatureCursor(blob.data(), blob.size()); }

}  // namespace

TEST(SignatureCursorTest, CompressedIntegersAndTypeTokens) {
    std::vector<uint8_t> blob = {0x03, 0x80, 0x80, 0xAE, 0x57, 0xC0, 0x00, 0x40, 0x00, 0xDF, 0xFF, 0xFF, 0xFF};
    SignatureCursor cursor = Over(blob);
    uint32_t value = 0;
    for (uint32_t expected : {0x03u, 0x80u, 0x2E57u, 0x4000u, 0x1FFFFFFFu}) {
        ASSERT_TRUE(cursor.ReadCompressed(value));
        EXPECT_EQ(value, expected);
    }
    EXPECT_FALSE(cursor.ReadCompressed(value));

    blob = {0x08, 0x09, 0x0A, 0x0B, 0x81, 0x01};
    cursor = Over(blob);
    mdToken token = 0;
    for (mdToken expected : {0x02000002u, 0x01000002u, 0x1B000002u, 0x72000002u, 0x01000040u}) {
        ASSERT_TRUE(cursor.ReadTypeDefOrRef(token));
        EXPECT_EQ(token, expected);
    }
}

TEST(SignatureCursorTest, SkipTypeConsumesExactlyOneEncoding) {
    const std::vector<std::vector<uint8_t>> types = {
        {ELEMENT_TYPE_I4},
        {ELEMENT_TYPE_CLASS, 0x81, 0x01},
        {ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_SZARRAY, ELEMENT_TYPE_VALUETYPE, 0x08},
        {ELEMENT_TYPE_BYREF, ELEMENT_TYPE_PTR, ELEMENT_TYPE_VOID},
        {ELEMENT_TYPE_VAR, 0x80, 0x01},
        {ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_VALUETYPE, 0x10, 0x02, ELEMENT_TYPE_STRING, ELEMENT_TYPE_GENERICINST,
         ELEMENT_TYPE_CLASS, 0x11, 0x01, ELEMENT_TYPE_MVAR, 0x00},
        {ELEMENT_TYPE_ARRAY, ELEMENT_TYPE_I4, 0x02, 0x02, 0x05, 0x05, 0x01, 0x00},
        {ELEMENT_TYPE_CMOD_OPT, 0x21, ELEMENT_TYPE_CMOD_REQD, 0x22, ELEMENT_TYPE_I8},
        {ELEMENT_TYPE_FNPTR, 0x10, 0x01, 0x01, ELEMENT_TYPE_MVAR, 0x00, ELEMENT_TYPE_SENTINEL, ELEMENT_TYPE_U1},
        {ELEMENT_TYPE_PINNED, ELEMENT_TYPE_TYPEDBYREF},
    };
    for (const auto& type : types) {
        std::vector<uint8_t> blob = type;
        blob.push_back(0x55);  // must be left unread
        SignatureCursor cursor = Over(blob);
        EXPECT_TRUE(cursor.SkipType()) << int(type[0]);
        EXPECT_EQ(cursor.GetOffset(), type.size()) << int(type[0]);
        // Every proper prefix is malformed, and a failure leaves nothing more to read.
        for (size_t cut = 0; cut < type.size(); ++cut) {
            SignatureCursor shortCursor(type.data(), cut);
            EXPECT_FALSE(shortCursor.SkipType()) << int(type[0]) << " cut at " << cut;
            EXPECT_EQ(shortCursor.Remaining(), 0u);
        }
    }
}

TEST(SignatureCursorTest, HostileEncodingsFailQuickly) {
    const std::vector<std::vector<uint8_t>> blobs = {
        std::vector<uint8_t>(100000, ELEMENT_TYPE_SZARRAY),  // nesting far past any real type
        {ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_CLASS, 0x08, 0xDF, 0xFF, 0xFF, 0xFF, ELEMENT_TYPE_I4},  // 2^29 args
        {ELEMENT_TYPE_GENERICINST, ELEMENT_TYPE_I4, 0x08, 0x01, ELEMENT_TYPE_I4},
        {0xE0, ELEMENT_TYPE_I4},  // no compressed integer starts with 111
        {ELEMENT_TYPE_END},
    };
    for (const auto& blob : blobs) {
        SignatureCursor cursor = Over(blob);
        EXPECT_FALSE(cursor.SkipType());
        EXPECT_EQ(cursor.Remaining(), 0u);
    }
    SignatureCursor null;
    uint8_t byte = 0;
    EXPECT_TRUE(null.IsNull());
    EXPECT_FALSE(null.ReadByte(byte));
}
