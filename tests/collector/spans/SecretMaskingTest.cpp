// One masker: what the agent masks in captured text (as UTF-16, straight from managed strings)
// the collector masks alike in what it exports, so that nothing masked on one side passes the other.

#include <gtest/gtest.h>

#include "inspection/SecretMasker.h"
#include "spans/OtlpConventions.h"
#include "text/TextEncoding.h"
#include "wire/WireFormat.h"

using namespace QuorixCollect;

namespace {

const char* const Corpus[] = {
    // Connection and configuration strings.
    "Host=db;Port=5432;Username=qx;Password=s3cret;Database=shop",
    "Server=tcp:sql.example,1433;User ID=sa;Pwd = 'it''s;secret';Encrypt=true",
    "Data Source=orcl;User Id=app;Password={a;b}}c};Pooling=true",
    "redis:6379,password=hunter2,ssl=false,abortConnect=false",
    "DefaultEndpointsProtocol=https;AccountName=acct;AccountKey=bWFkZQ==;EndpointSuffix=core.example",
    "UserPassword=abc;ClientSecret=zz;Api_Key=k1;AccessToken=t;Password2=again",
    // URLs.
    "http://bob:pw@example.test/a?token=abc&x=1",
    "postgresql://app:p%40ss@db:5432/x?sslmode=require",
    "https://token@example.com/path#frag",
    "https://h/p?api_key=1&access_token=2&page=3",
    // Queries, which keep their text.
    "SELECT * FROM users WHERE password = @password AND name = 'x'",
    "UPDATE t SET a = 1 WHERE id = 5",
    // JSON bodies.
    "{\"user\":\"ann\",\"password\":\"x\\\"y\",\"nested\":{\"client_secret\":\"s\"}}",
    "[{\"token\": \"abc\"}, {\"name\": \"t\"}]",
    // Nothing to mask.
    "",
    "plain text with = signs; and, commas",
};

std::u16string Utf16(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) {
        out.push_back(c);  // the corpus is ASCII
    }
    return out;
}

std::string Utf8(const std::u16string& text) {
    return Utf16LeToUtf8(reinterpret_cast<const uint8_t*>(text.data()), text.size() * 2);
}

}  // namespace

TEST(SecretMasking, AgentAndCollectorMaskTheSameCorpusAlike) {
    for (const char* text : Corpus) {
        const std::string agent = Utf8(SecretMasker::Masked(Utf16(text)));
        EXPECT_EQ(MaskSecrets(text), agent) << text;
        // Masking what the agent already masked changes nothing.
        EXPECT_EQ(MaskSecrets(agent), agent) << text;
    }
    // The secrets themselves are gone.
    for (const char* secret : {"s3cret", "hunter2", "bWFkZQ==", "p%40ss", "client_secret\":\"s"}) {
        for (const char* text : Corpus) {
            EXPECT_EQ(MaskSecrets(text).find(secret), std::string::npos) << text;
        }
    }
}

TEST(SecretMasking, ExportedConnectionStringsAreMaskedByTheSameRules) {
    ValueRecord v;
    v.name = "connectionString";
    v.type = static_cast<uint8_t>(ValueType::String);
    v.hasPayload = true;
    v.text = Corpus[1];
    std::vector<OtlpAttribute> out;
    MapCapturedValue("Microsoft.Data.SqlClient.SqlConnection", ".ctor", v, false, out);
    bool found = false;
    for (const auto& a : out) {
        if (a.key == "quorix.db.connection_string") {
            found = true;
            EXPECT_EQ(a.text, Utf8(SecretMasker::Masked(Utf16(Corpus[1]))));
        }
    }
    EXPECT_TRUE(found);
}
