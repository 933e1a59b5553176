#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PayloadBytes.h"
#include "commands/ExceptionDetailsCommand.h"
#include "environment/Configuration.h"

namespace {

constexpr uint64_t WirePid = 4711;
constexpr uint64_t Tid = 0xFFFFFFFF89ABCDEFull;
constexpr uint64_t Object = 0x00007F0011223348ull;

// The command's bytes, taken apart by the layout alone.
struct Sent {
    std::vector<uint8_t> bytes;
    uint64_t id = 0;
    std::string type;
    std::string message;
    uint8_t flags = 0;
};

Sent Send(const std::string& type, const std::u16string* message) {
    ExceptionDetailsCommand command(WirePid, Tid, Object, type, message == nullptr ? nullptr : message->data(),
                                    message == nullptr ? 0 : static_cast<uint32_t>(message->size()));
    Sent sent;
    sent.bytes = Serialize(command);
    const auto& b = sent.bytes;
    EXPECT_EQ(ReadLittleEndian(b, 0, 2), b.size());
    EXPECT_EQ(b[2], 21);
    sent.id = ReadLittleEndian(b, 19, 8);
    const size_t typeBytes = ReadLittleEndian(b, 27, 2);
    sent.type.assign(b.begin() + 29, b.begin() + 29 + static_cast<long>(typeBytes));
    const size_t at = 29 + typeBytes;
    const size_t messageBytes = ReadLittleEndian(b, at, 2);
    sent.message.assign(b.begin() + static_cast<long>(at + 2), b.begin() + static_cast<long>(at + 2 + messageBytes));
    EXPECT_EQ(at + 2 + messageBytes + 1, b.size()) << "the flags end the command";
    sent.flags = b.back();
    EXPECT_EQ(sent.flags, command.GetFlags());
    return sent;
}

Sent Send(const std::string& type, const std::u16string& message) { return Send(type, &message); }

}  // namespace

TEST(ExceptionDetailsCommandTest, LayoutIsHeaderIdTypeMessageAndFlags) {
    const std::string type = "System.InvalidOperationException";
    const std::u16string message = u"Order 7 has no lines";
    ExceptionDetailsCommand command(WirePid, Tid, Object, type, message.data(), static_cast<uint32_t>(message.size()));
    const std::vector<uint8_t> bytes = Serialize(command);
    ASSERT_EQ(bytes.size(), 19u + 8 + 2 + 32 + 2 + 20 + 1);
    EXPECT_EQ(Slice(bytes, 0, 3), Bytes({static_cast<int>(bytes.size()), 0, 21}));
    EXPECT_EQ(ReadLittleEndian(bytes, 3, 4), WirePid);
    EXPECT_EQ(ReadLittleEndian(bytes, 7, 4), Tid & 0xFFFFFFFFu);
    EXPECT_EQ(Slice(bytes, 19, 8), Bytes({0x48, 0x33, 0x22, 0x11, 0x00, 0x7F, 0, 0}));
    EXPECT_EQ(Slice(bytes, 27, 2), Bytes({32, 0}));
    EXPECT_EQ(Slice(bytes, 29, 32), Bytes("System.InvalidOperationException"));
    EXPECT_EQ(Slice(bytes, 61, 2), Bytes({20, 0}));
    EXPECT_EQ(Slice(bytes, 63, 20), Bytes("Order 7 has no lines"));
    EXPECT_EQ(bytes[83], 0);
    // Written in place, the same bytes.
    std::vector<uint8_t> inPlace(bytes.size());
    command.WritePayload(inPlace.data());
    EXPECT_EQ(inPlace, bytes);
}

TEST(ExceptionDetailsCommandTest, NullEmptyAndUnnamed) {
    const Sent none = Send("Shop.Errors.Refused`1", nullptr);
    EXPECT_EQ(none.id, Object);
    EXPECT_EQ(none.type, "Shop.Errors.Refused`1");
    EXPECT_EQ(none.message, "");
    EXPECT_EQ(none.flags, ExceptionDetailsCommand::MessageNull);

    const Sent empty = Send("Shop.Errors+Inner", std::u16string());
    EXPECT_EQ(empty.message, "");
    EXPECT_EQ(empty.flags, 0);

    // A class the agent could not name: the message still goes.
    const Sent unnamed = Send("", u"still sent");
    EXPECT_EQ(unnamed.type, "");
    EXPECT_EQ(unnamed.message, "still sent");
}

TEST(ExceptionDetailsCommandTest, MessageIsUtf8WithLoneSurrogatesReplaced) {
    const Sent sent = Send("E", u"caf\u00e9 \u20ac \U0001F600 \xD800!");
    EXPECT_EQ(sent.message, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xEF\xBF\xBD!");
    EXPECT_EQ(sent.flags, 0);
}

TEST(ExceptionDetailsCommandTest, MessagesAreCappedAsCapturedStrings) {
    // Up to 4096 units a message goes whole; beyond, its first 2048 units, marked as cut.
    const Sent whole = Send("E", std::u16string(4096, u'a'));
    EXPECT_EQ(whole.message.size(), 4096u);
    EXPECT_EQ(whole.flags, 0);
    const Sent cut = Send("E", std::u16string(4097, u'b'));
    EXPECT_EQ(cut.message, std::string(2048, 'b'));
    EXPECT_EQ(cut.flags, ExceptionDetailsCommand::MessageCut);
    // A cut never splits a surrogate pair.
    std::u16string pairs(2047, u'c');
    for (int i = 0; i < 2000; ++i) pairs += u"\U0001F600";
    const Sent paired = Send("E", pairs);
    EXPECT_EQ(paired.message, std::string(2047, 'c'));
    EXPECT_EQ(paired.flags, ExceptionDetailsCommand::MessageCut);
}

TEST(ExceptionDetailsCommandTest, LongTypeNamesAreCutAtACharacterAndTheCommandFitsItsLength) {
    std::string type(1023, 'T');
    type += "\xC3\xA9 and more";  // the cut at 1024 bytes would split the two-byte character
    const Sent sent = Send(type, std::u16string(4096, u'\u20ac'));
    EXPECT_EQ(sent.type, std::string(1023, 'T'));
    EXPECT_EQ(sent.message.size(), 3u * 4096);
    EXPECT_LE(sent.bytes.size(), MaxCommandLength);
}

TEST(ExceptionDetailsCommandTest, SecretsInTheMessageAreMaskedBeforeTheCutUnlessCapturingSecretsIsOn) {
    const std::u16string message = u"cannot open Server=db;Password=hunter2;Database=shop";
    const Sent masked = Send("E", message);
    EXPECT_EQ(masked.message, "cannot open Server=db;Password=***;Database=shop");
    EXPECT_EQ(masked.flags, 0);

    // A long message is masked within the part that is looked at, then cut.
    std::u16string longMessage(2040, u'x');
    longMessage += u" Pwd=" + std::u16string(3000, u's');
    const Sent longMasked = Send("E", longMessage);
    EXPECT_EQ(longMasked.message, std::string(2040, 'x') + " Pwd=***");
    EXPECT_EQ(longMasked.flags, ExceptionDetailsCommand::MessageCut);

    Configuration* saved = g_Configuration;
    Configuration settings;
    settings.captureSecrets = true;
    g_Configuration = &settings;
    const Sent clear = Send("E", message);
    g_Configuration = saved;
    EXPECT_EQ(clear.message, "cannot open Server=db;Password=hunter2;Database=shop");
}
