#include <gtest/gtest.h>

#include <cstring>

#include "il/IlTestBytes.h"
#include "il/MethodFormat.h"

using namespace iltest;

namespace {

const Bytes kThreeBytes = Code({0x00, 0x17, 0x2A});  // nop; ldc.i4.1; ret

}  // namespace

TEST(MethodFormatTest, DecodesTinyHeader) {
    const Bytes body = TinyBody(kThreeBytes);
    IlMethodDecoder decoder;
    DecoderInit(&decoder, body.data());
    EXPECT_EQ(decoder.header.codeSize, 3u);
    EXPECT_EQ(decoder.header.maxStack, 8u);
    EXPECT_EQ(decoder.header.localVarSigToken, 0u);
    EXPECT_EQ(decoder.code, body.data() + 1);
    EXPECT_EQ(decoder.eh, nullptr);
    EXPECT_EQ(DecoderGetOnDiskSize(&decoder, body.data()), 4u);
}

TEST(MethodFormatTest, DecodesFatHeaderWithExceptionSectionAndTheSectionAfterIt) {
    // Code of 6 bytes, a small EH section with one clause, then an extra section of kind 2.
    Bytes body = FatBody(Code({0x00, 0x00, 0xDE, 0x00, 0x00, 0x2A}), {Clause(2, 0, 4, 4, 1)}, EHForm::Small, 3,
                         0x11000002, 0x10);
    body[12 + 8] |= 0x80;  // MoreSects on the EH section
    const size_t next = body.size();
    body.insert(body.end(), {0x02, 0x08, 0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD});

    IlMethodDecoder decoder;
    DecoderInit(&decoder, body.data());
    EXPECT_EQ(decoder.header.flags & 0x0FFFu, 0x3u | 0x8u | 0x10u);
    EXPECT_EQ(decoder.header.size, 3u);
    EXPECT_EQ(decoder.header.maxStack, 3u);
    EXPECT_EQ(decoder.header.codeSize, 6u);
    EXPECT_EQ(decoder.header.localVarSigToken, 0x11000002u);
    EXPECT_EQ(decoder.code, body.data() + 12);
    EXPECT_EQ(decoder.eh, body.data() + 20);
    EXPECT_EQ(decoder.sect, body.data() + next);
    EXPECT_EQ(DecoderGetOnDiskSize(&decoder, body.data()), body.size());

    size_t onDisk = 0;
    IlMethodDecoder bounded;
    EXPECT_EQ(qx::il::DecodeMethodBody(body.data(), body.size(), &bounded, &onDisk), S_OK);
    EXPECT_EQ(onDisk, body.size());
    EXPECT_EQ(bounded.eh, decoder.eh);
}

TEST(MethodFormatTest, UnknownFormatLeavesTheDecoderEmpty) {
    for (uint8_t first : {0x00, 0x01, 0x04, 0x05}) {
        const Bytes body{first, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x2A};
        IlMethodDecoder decoder;
        decoder.code = body.data();
        DecoderInit(&decoder, body.data());
        EXPECT_EQ(decoder.code, nullptr) << int(first);
        EXPECT_EQ(decoder.header.codeSize, 0u);
        EXPECT_EQ(DecoderGetOnDiskSize(&decoder, body.data()), 0u);
    }
}

// Every prefix of a valid body is rejected, and the decoder never reads past the bytes it got.
TEST(MethodFormatTest, BoundedDecoderRejectsEveryTruncationWithoutReadingPastTheEnd) {
    Bytes body = FatBody(Code({0x00, 0x00, 0xDE, 0x00, 0x00, 0x2A}), {Clause(2, 0, 4, 4, 1)}, EHForm::Fat);
    for (size_t size = 0; size < body.size(); ++size) {
        GuardedBytes guarded(Bytes(body.begin(), body.begin() + static_cast<long>(size)));
        IlMethodDecoder decoder;
        EXPECT_EQ(qx::il::DecodeMethodBody(guarded.Data(), guarded.Size(), &decoder, nullptr), COR_E_INVALIDPROGRAM)
            << size;
        EXPECT_EQ(decoder.code, nullptr);
    }
    GuardedBytes whole(body);
    IlMethodDecoder decoder;
    EXPECT_EQ(qx::il::DecodeMethodBody(whole.Data(), whole.Size(), &decoder, nullptr), S_OK);
}

TEST(MethodFormatTest, BoundedDecoderRejectsMalformedHeadersAndSections) {
    IlMethodDecoder decoder;
    // Header size nibble below 3 would put the code inside the header.
    Bytes small = FatBody(kThreeBytes);
    small[1] = 0x20;
    EXPECT_EQ(qx::il::DecodeMethodBody(small.data(), small.size(), &decoder, nullptr), COR_E_INVALIDPROGRAM);

    // A section that claims no size and more sections would otherwise be read forever.
    Bytes looping = FatBody(kThreeBytes);
    looping[0] |= 0x08;
    looping.insert(looping.end(), {0x00, 0x81, 0x00, 0x00, 0x00});
    EXPECT_EQ(qx::il::DecodeMethodBody(looping.data(), looping.size(), &decoder, nullptr), COR_E_INVALIDPROGRAM);

    // A section larger than the bytes.
    Bytes tooLong = FatBody(Code({0x00, 0x00, 0xDE, 0x00, 0x00, 0x2A}), {Clause(2, 0, 4, 4, 1)}, EHForm::Small);
    tooLong[21] = 40;
    EXPECT_EQ(qx::il::DecodeMethodBody(tooLong.data(), tooLong.size(), &decoder, nullptr), COR_E_INVALIDPROGRAM);

    EXPECT_EQ(qx::il::DecodeMethodBody(nullptr, 10, &decoder, nullptr), COR_E_INVALIDPROGRAM);
}

TEST(MethodFormatTest, ExceptionSectionCountsWholeClausesOnly) {
    unsigned count = 99;
    const Bytes small{0x01, 27, 0, 0};  // room for 1 whole small clause (and 11 stray bytes)
    Bytes padded = small;
    padded.resize(27, 0);
    EXPECT_TRUE(qx::il::ReadEHSection(padded.data(), padded.size(), &count));
    EXPECT_EQ(count, 1u);
    const Bytes fat{0x41, 4, 0, 0};
    EXPECT_TRUE(qx::il::ReadEHSection(fat.data(), fat.size(), &count));
    EXPECT_EQ(count, 0u);
    const Bytes notEH{0x02, 4, 0, 0};
    EXPECT_FALSE(qx::il::ReadEHSection(notEH.data(), notEH.size(), &count));
    EXPECT_FALSE(qx::il::ReadEHSection(small.data(), small.size(), &count));  // says 27, has 4
}

TEST(MethodFormatTest, TinyHeaderOnlyWhenEveryConditionHolds) {
    const IlMethodFat tiny{0x2, 0, 8, 63, 0};
    EXPECT_EQ(IlmethodSize(&tiny, FALSE), 1u);
    EXPECT_EQ(IlmethodSize(&tiny, TRUE), 12u);
    IlMethodFat header = tiny;
    header.maxStack = 9;
    EXPECT_EQ(IlmethodSize(&header, FALSE), 12u);
    header = tiny;
    header.flags |= 0x10;
    EXPECT_EQ(IlmethodSize(&header, FALSE), 12u);
    header = tiny;
    header.localVarSigToken = 0x11000001;
    EXPECT_EQ(IlmethodSize(&header, FALSE), 12u);
    header = tiny;
    header.codeSize = 64;
    EXPECT_EQ(IlmethodSize(&header, FALSE), 12u);
}

TEST(MethodFormatTest, EmitsTinyAndFatHeaders) {
    uint8_t out[12] = {};
    const IlMethodFat tiny{0x2, 0, 8, 5, 0};
    EXPECT_EQ(IlmethodEmit(1, &tiny, FALSE, out), 1u);
    EXPECT_EQ(out[0], (5 << 2) | 2);

    const IlMethodFat fat{0x10, 3, 0xFFFF, 0x100, 0x11000007};
    EXPECT_EQ(IlmethodEmit(12, &fat, TRUE, out), 12u);
    EXPECT_EQ(Get16(out), 0x3000u | 0x10u | 0x8u | 0x3u);
    EXPECT_EQ(Get16(out + 2), 0xFFFFu);
    EXPECT_EQ(Get32(out + 4), 0x100u);
    EXPECT_EQ(Get32(out + 8), 0x11000007u);

    // Room for a tiny header is not enough for one that must be fat: nothing written.
    uint8_t guard[2] = {0xEE, 0xEE};
    EXPECT_EQ(IlmethodEmit(1, &fat, FALSE, guard), 0u);
    EXPECT_EQ(guard[0], 0xEE);
}

TEST(MethodFormatTest, ReadsSmallAndFatClausesInFatForm) {
    const Bytes small = FatBody(
        Code({0, 0, 0, 0}), {Clause(0, 1, 2, 3, 1, 0x01000005), Clause(1, 0x1234, 0xFF, 0xFFFF, 7, 9)}, EHForm::Small);
    IlEHClause buffer{};
    const IlEHClause* second = SectEH_EHClause(small.data() + 16, 1, &buffer);
    ASSERT_EQ(second, &buffer);
    EXPECT_EQ(second->flags, 1u);
    EXPECT_EQ(second->tryOffset, 0x1234u);
    EXPECT_EQ(second->tryLength, 0xFFu);
    EXPECT_EQ(second->handlerOffset, 0xFFFFu);
    EXPECT_EQ(second->handlerLength, 7u);
    EXPECT_EQ(second->filterOffset, 9u);

    const Bytes fat = FatBody(Code({0, 0, 0, 0}), {Clause(2, 0x10000, 0x20000, 0x30000, 0x40000, 0)}, EHForm::Fat);
    const IlEHClause* inPlace = SectEH_EHClause(fat.data() + 16, 0, nullptr);
    ASSERT_NE(inPlace, nullptr);
    EXPECT_EQ(inPlace->handlerLength, 0x40000u);
    EXPECT_EQ(SectEH_EHClause(small.data() + 16, 0, nullptr), nullptr);
}

TEST(MethodFormatTest, SectionSizes) {
    EXPECT_EQ(SectEH_SizeWithCode(0), 0u);
    EXPECT_EQ(SectEH_SizeWorst(0), 0u);
    EXPECT_EQ(SectEH_SizeWithCode(2), 52u);
    EXPECT_EQ(SectEH_SizeExact(0, nullptr), 0u);

    IlEHClause clause = Clause(0, 0, 0x100, 0x10, 0x10);
    EXPECT_EQ(SectEH_SizeExact(1, &clause), 28u);
    clause.tryLength = 0xFF;
    EXPECT_EQ(SectEH_SizeExact(1, &clause), 16u);
    clause.flags = 0x10000;  // a flag the 16-bit field cannot carry
    EXPECT_EQ(SectEH_SizeExact(1, &clause), 28u);

    std::vector<IlEHClause> many(21, Clause(0, 0, 1, 1, 1));
    EXPECT_EQ(SectEH_SizeExact(20, many.data()), 12u * 20 + 4);
    EXPECT_EQ(SectEH_SizeExact(21, many.data()), 24u * 21 + 4);  // 256 does not fit one byte
}

TEST(MethodFormatTest, EmitsSectionsThatReadBackAndReportsTokenFields) {
    const std::vector<IlEHClause> clauses{Clause(0, 1, 2, 3, 4, 0), Clause(0, 5, 6, 7, 8, 0x01000002)};
    for (bool fat : {false, true}) {
        std::vector<IlEHClause> input = clauses;
        if (fat) input[1].handlerLength = 0x100;
        const unsigned size = SectEH_SizeExact(2, input.data());
        EXPECT_EQ(size, fat ? 52u : 28u);
        Bytes out(size + 1, 0xEE);
        uint32_t offsets[2] = {1, 1};
        EXPECT_EQ(SectEH_Emit(size, 2, input.data(), TRUE, out.data(), offsets), size);
        EXPECT_EQ(out[size], 0xEE) << "wrote past the section";
        EXPECT_EQ(out[0], fat ? 0xC1 : 0x81);
        EXPECT_EQ(fat ? (out[1] | (out[2] << 8) | (out[3] << 16)) : out[1], static_cast<int>(size));
        for (unsigned i = 0; i < 2; ++i) {
            IlEHClause buffer{};
            const IlEHClause* read = SectEH_EHClause(out.data(), i, &buffer);
            EXPECT_EQ(read->tryOffset, input[i].tryOffset);
            EXPECT_EQ(read->handlerLength, input[i].handlerLength);
            EXPECT_EQ(read->classToken, input[i].classToken);
        }
        EXPECT_EQ(offsets[0], fat ? 24u : 12u);
        EXPECT_EQ(Get32(out.data() + offsets[0]), 0u);
        EXPECT_EQ(offsets[1], 0xFFFFFFFFu);
    }
}

TEST(MethodFormatTest, EmitRefusesTooLittleRoom) {
    const IlEHClause clause = Clause(0, 0, 1, 1, 1, 0);
    uint8_t out[16];
    std::memset(out, 0xEE, sizeof out);
    EXPECT_EQ(SectEH_Emit(15, 1, &clause, FALSE, out, nullptr), 0u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(SectEH_Emit(16, 0, &clause, FALSE, out, nullptr), 0u);
}

TEST(MethodFormatTest, HeaderStructureIsTheStandardPackedFatHeader) {
    // A fat header as it starts a method body: flags 0x13 with size 3, max stack 0x1234, code
    // size 0x00012345, local signature 0x11000009.
    const uint8_t onDisk[12] = {0x13, 0x30, 0x34, 0x12, 0x45, 0x23, 0x01, 0x00, 0x09, 0x00, 0x00, 0x11};
    IlMethodFat header;
    std::memcpy(&header, onDisk, sizeof(header));
    EXPECT_EQ(header.flags, 0x13u);
    EXPECT_EQ(header.size, 3u);
    EXPECT_EQ(header.maxStack, 0x1234u);
    EXPECT_EQ(header.codeSize, 0x12345u);
    EXPECT_EQ(header.localVarSigToken, 0x11000009u);

    // A native caller hands over the body's own bytes: the answers follow from them, and
    // emitting gives the same bytes back.
    EXPECT_EQ(IlmethodSize(&header, FALSE), 12u);
    uint8_t out[12] = {};
    EXPECT_EQ(IlmethodEmit(sizeof(out), &header, FALSE, out), 12u);
    EXPECT_EQ(std::memcmp(out, onDisk, sizeof(out)), 0);
    EXPECT_EQ(std::memcmp(&header, onDisk, sizeof(out)), 0);

    // The decoder's header reads back the same way.
    Bytes body(onDisk, onDisk + 12);
    body.resize(12 + 0x12345, 0x00);
    IlMethodDecoder decoder;
    DecoderInit(&decoder, body.data());
    EXPECT_EQ(std::memcmp(&decoder.header, onDisk, sizeof(onDisk)), 0);
    EXPECT_EQ(decoder.code, body.data() + 12);

    // A small header built field by field fits the tiny form exactly when it should.
    IlMethodFat small{};
    small.flags = 0x2;
    small.maxStack = 8;
    small.codeSize = 63;
    EXPECT_EQ(IlmethodSize(&small, FALSE), 1u);
    small.maxStack = 0xFFFF;  // all 16 bits, nothing spills into the next field
    EXPECT_EQ(small.codeSize, 63u);
    EXPECT_EQ(IlmethodSize(&small, FALSE), 12u);
}
