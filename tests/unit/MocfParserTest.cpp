#include "files/libmocf_14/shared/MocfParser.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "files/libmocf_14/shared/TlvContainerCreator.h"
#include "support/RawContainer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using testing_support::Bytes;
using testing_support::RawContainer;

namespace {

const std::vector<uint8_t> kHeader{0};
const std::vector<uint8_t> kNoDigest(20, 0);
constexpr uint32_t kApp = 0x0A000004;

std::vector<uint8_t> Table(uint32_t count, uint32_t entries)
{
    std::vector<uint8_t> payload(4 * (entries + 1), 0);
    payload[0] = uint8_t(count);
    payload[1] = uint8_t(count >> 8);
    payload[2] = uint8_t(count >> 16);
    payload[3] = uint8_t(count >> 24);
    for (uint32_t i = 0; i < entries; ++i)
        payload[4 * (i + 1)] = uint8_t(i + 1);
    return payload;
}

// Writes the digest the parser computes into the record at position 2.
RawContainer& Seal(RawContainer& c)
{
    CMocfParser parser(c.bytes.data(), uint32_t(c.bytes.size()));
    uint8_t digest[SHA1HashSize];
    parser.ComputeDigest(digest);
    const uint8_t* record = nullptr;
    uint32_t position = 0;
    if (parser.FindRecord(MOCF_RECORD_DIGEST, &record, &position))
        memcpy(c.bytes.data() + (record - c.bytes.data()) + 8, digest, SHA1HashSize);
    return c;
}

// The smallest sensible file: header, digest, one 5-byte object; 64 bytes.
RawContainer Minimal()
{
    RawContainer c;
    c.Record(MOCF_RECORD_HEADER, kHeader).Record(MOCF_RECORD_DIGEST, kNoDigest).Record(kApp, Bytes("hello")).Close();
    return Seal(c);
}

bool Valid(const std::vector<uint8_t>& bytes, uint32_t size)
{
    CMocfParser parser(bytes.data(), size);
    return parser.IsValid();
}

bool Valid(const RawContainer& c)
{
    return Valid(c.bytes, uint32_t(c.bytes.size()));
}

} // namespace

TEST(MocfParser, DigestOfAHandMadeContainerIsPinned)
{
    RawContainer c = Minimal();
    ASSERT_EQ(c.bytes.size(), 64u);
    CMocfParser parser(c.bytes.data(), uint32_t(c.bytes.size()));
    uint8_t digest[SHA1HashSize];
    ASSERT_TRUE(parser.ComputeDigest(digest));
    // SHA-1 of the container header, the header record and the object
    // record, fill included, computed independently.
    const uint8_t expected[SHA1HashSize] = {0x3c, 0x31, 0xc9, 0x19, 0x98, 0x54, 0x3c, 0xdd, 0x26, 0x52,
                                            0x2d, 0xba, 0xb5, 0x0b, 0xc5, 0xc5, 0x57, 0x72, 0x0c, 0x4f};
    EXPECT_EQ(memcmp(digest, expected, SHA1HashSize), 0);
    EXPECT_TRUE(parser.IsValid());

    // The creator writes exactly these bytes.
    CMocfCreator creator;
    ASSERT_TRUE(creator.AddHeaderRecord(kHeader.data(), 1));
    ASSERT_TRUE(creator.AddDigestRecord());
    ASSERT_TRUE(creator.AddObject(kApp, "hello", 5));
    ASSERT_TRUE(creator.Seal());
    EXPECT_EQ(std::vector<uint8_t>(creator.Data(), creator.Data() + creator.Size()), c.bytes);
}

TEST(MocfParser, Validation)
{
    struct Case {
        const char* name;
        RawContainer container;
        bool valid;
    };
    auto digested = [](RawContainer c) { return Seal(c.Close()); };
    RawContainer overrun;   // last record claims 0xFFFFFFF8 bytes
    overrun.Record(0, kHeader).Record(kApp, Bytes("abcd")).RecordWithLength(kApp, 0xFFFFFFF8, Bytes("tail")).Close();
    RawContainer wrapping;  // a step that wraps to 0 in 32 bits must not stall the walk
    wrapping.Record(0, kHeader).Record(1, kNoDigest).RecordWithLength(kApp, 0xFFFFFFF8, Bytes("tail")).Close();
    Seal(wrapping);
    RawContainer noFill;    // last payload without its fill
    noFill.Record(0, kHeader).Record(kApp, Bytes("hello"), false).Close();
    RawContainer noFillDigest;
    noFillDigest.Record(0, kHeader).Record(1, kNoDigest).Record(kApp, Bytes("hello"), false).Close();
    Seal(noFillDigest);
    RawContainer middleOverrun;  // a record in the middle claims more than the rest
    middleOverrun.Record(0, kHeader).RecordWithLength(kApp, 40, Bytes("abcd")).Record(kApp, Bytes("efgh")).Close();

    Case cases[] = {
        {"header, digest, object", Minimal(), true},
        {"header and object, no digest", RawContainer().Record(0, kHeader).Record(kApp, Bytes("x")).Close(), true},
        {"other tag", RawContainer(0x4743434d).Record(0, kHeader).Record(kApp, Bytes("x")).Close(), false},
        {"first record type 5", RawContainer().Record(5, kHeader).Record(kApp, Bytes("x")).Close(), false},
        {"header byte 1", RawContainer().Record(0, {1}).Record(kApp, Bytes("x")).Close(), false},
        {"empty header record", RawContainer().Record(0, {}).Record(kApp, Bytes("x")).Close(), false},
        {"header second", RawContainer().Record(kApp, Bytes("x")).Record(0, kHeader).Close(), false},
        {"digest third", digested(RawContainer().Record(0, kHeader).Record(2, Table(0, 0)).Record(1, kNoDigest)),
         false},
        {"digest of 19 bytes", digested(RawContainer().Record(0, kHeader).Record(1, std::vector<uint8_t>(19))), false},
        {"digest not sealed", RawContainer().Record(0, kHeader).Record(1, kNoDigest).Record(kApp, Bytes("x")).Close(),
         false},
        {"length 4 beyond the records, digest",
         Seal(RawContainer().Record(0, kHeader).Record(1, kNoDigest).Record(kApp, Bytes("abcd")).Raw({0, 0, 0, 0}).Close()),
         false},
        {"length 4 beyond the records, no digest",
         RawContainer().Record(0, kHeader).Record(kApp, Bytes("abcd")).Raw({0, 0, 0, 0}).Close(), true},
        {"trailing empty record, no digest",
         RawContainer().Record(0, kHeader).Record(kApp, Bytes("abcd")).Record(9, {}).Close(), true},
        {"table count 3, 16 bytes", digested(RawContainer().Record(0, kHeader).Record(1, kNoDigest).Record(2, Table(3, 3))),
         true},
        {"table count 3, 12 bytes", digested(RawContainer().Record(0, kHeader).Record(1, kNoDigest).Record(2, Table(3, 2))),
         false},
        {"table count wraps 4 x (n + 1) to 0",
         RawContainer().Record(0, kHeader).Record(2, {}).Record(kApp, Bytes("x")).Close(), false},
        {"table count 0x3FFFFFFF, empty payload",
         RawContainer().Record(0, kHeader).RecordWithLength(2, 0, {0xFF, 0xFF, 0xFF, 0x3F}).Close(), false},
        {"record length near 2^32, no digest", overrun, false},
        {"record length near 2^32, digest", wrapping, false},
        {"record overruns the next, no digest", middleOverrun, false},
        {"last payload without fill, no digest", noFill, true},
        {"last payload without fill, digest", noFillDigest, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Valid(c.container), c.valid) << c.name;
}

TEST(MocfParser, LengthFieldBeyondTheBufferIsRefused)
{
    RawContainer c = Minimal();
    // The same bytes handed over one short of what the length field claims.
    EXPECT_FALSE(Valid(c.bytes, uint32_t(c.bytes.size() - 1)));
    c.SetLength(0xFFFFFFF0);
    EXPECT_FALSE(Valid(c));
    // And a buffer too short for even the container header.
    EXPECT_FALSE(Valid(c.bytes, 7));
}

TEST(MocfParser, AnyChangedByteFailsValidation)
{
    RawContainer c;
    c.Record(0, kHeader).Record(1, kNoDigest).Record(2, Table(1, 1)).Record(kApp, Bytes("hello"));
    Seal(c.Close());
    ASSERT_TRUE(Valid(c));
    // A change that hides the digest record (its type, or a header record
    // length that grows over it) may leave a container without digest,
    // which the format accepts; a changed container is never valid with a
    // digest.
    for (size_t at = 0; at < c.bytes.size(); ++at) {
        for (uint8_t flip : {0x01, 0x20, 0x80}) {
            std::vector<uint8_t> changed = c.bytes;
            changed[at] ^= flip;
            CMocfParser parser(changed.data(), uint32_t(changed.size()));
            if (parser.IsValid()) {
                EXPECT_FALSE(parser.FindRecord(MOCF_RECORD_DIGEST, nullptr, nullptr)) << "byte " << at;
                EXPECT_TRUE((at >= 12 && at < 16) || (at >= 20 && at < 24)) << "byte " << at;
            }
        }
    }
}

TEST(MocfParser, FindRecordGivesPositionAndKeepsTheCursor)
{
    RawContainer c;
    c.Record(0, kHeader).Record(kApp, Bytes("a")).Record(7, Bytes("bb")).Record(7, Bytes("ccc")).Close();
    CMocfParser parser(c.bytes.data(), uint32_t(c.bytes.size()));
    parser.m_ObjectFind = {c.bytes.data() + 8, 99};
    const uint8_t* record = nullptr;
    uint32_t position = 0;
    ASSERT_TRUE(parser.FindRecord(7, &record, &position));
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(CTlvContainerParser::RecordLength(record), 2u);
    EXPECT_FALSE(parser.FindRecord(1, &record, &position));
    EXPECT_EQ(parser.m_ObjectFind.pRecord, c.bytes.data() + 8);
    EXPECT_EQ(parser.m_ObjectFind.remaining, 99);
}

namespace {

std::string g_console;
void Capture(const char* text)
{
    g_console += text;
}

struct ReaderFixture : ::testing::Test {
    void SetUp() override
    {
        g_console.clear();
        previous = SetMocfConsoleWriter(Capture);
    }
    void TearDown() override { SetMocfConsoleWriter(previous); }
    MocfConsoleWriter previous = nullptr;
};

struct Found {
    int32_t result;
    uint32_t type;
    uint32_t length;
    std::string payload;
};

Found Get(MocfReader& reader, uint32_t index)
{
    Found f{};
    const uint8_t* payload = nullptr;
    f.result = reader.GetObjectRecord(index, &f.type, &f.length, &payload);
    if (f.result == 0)
        f.payload.assign(reinterpret_cast<const char*>(payload), f.length);
    return f;
}

} // namespace

TEST_F(ReaderFixture, InitValidatesAndAnnouncesAFailure)
{
    MocfReader reader;
    RawContainer c = Minimal();
    EXPECT_EQ(reader.Init(c.bytes.data(), uint32_t(c.bytes.size())), 0);
    EXPECT_STREQ(reader.LastMessage(), "Valid MOCF Data\n");
    EXPECT_EQ(g_console, "");

    c.bytes[60] ^= 1;
    EXPECT_EQ(reader.Init(c.bytes.data(), uint32_t(c.bytes.size())), -1);
    EXPECT_STREQ(reader.LastMessage(), "Invalid MOCF data!\n");
    EXPECT_EQ(g_console, "Invalid MOCF data!\n");
}

TEST_F(ReaderFixture, RecordsByIndex)
{
    RawContainer c;
    c.Record(0, kHeader).Record(1, kNoDigest).Record(kApp, Bytes("hello")).Record(9, {}).Record(kApp, Bytes("late"));
    Seal(c.Close());
    MocfReader reader;
    ASSERT_EQ(reader.Init(c.bytes.data(), uint32_t(c.bytes.size())), 0);

    Found container = Get(reader, 0);
    ASSERT_EQ(container.result, 0);
    EXPECT_EQ(container.type, MOCF_TAG);
    EXPECT_EQ(container.length, c.bytes.size() - 8);
    EXPECT_EQ(container.payload, c.Text().substr(8));

    Found header = Get(reader, 1);
    EXPECT_EQ(header.result, 0);
    EXPECT_EQ(header.type, 0u);
    EXPECT_EQ(header.payload, std::string(1, '\0'));

    // Out of order: a later index, then an earlier one.
    Found late = Get(reader, 5);
    EXPECT_EQ(late.result, 0);
    EXPECT_EQ(late.payload, "late");
    Found object = Get(reader, 3);
    EXPECT_EQ(object.result, 0);
    EXPECT_EQ(object.type, kApp);
    EXPECT_EQ(object.payload, "hello");

    // An empty record is not found, though the walk goes on past it.
    EXPECT_EQ(Get(reader, 4).result, -1);
    EXPECT_STREQ(reader.LastMessage(), "Object Record (4) is not found\n");
    EXPECT_EQ(Get(reader, 6).result, -1);
    EXPECT_STREQ(reader.LastMessage(), "Object Record (6) is not found\n");
}

TEST_F(ReaderFixture, NotFoundMessages)
{
    struct Case {
        const char* name;
        RawContainer container;
        uint32_t index;
        const char* message;
    } cases[] = {
        {"index 2 of a single record", RawContainer().Record(0, kHeader).Close(), 2,
         "Object Record (2) is not found\n"},
        {"empty first record", RawContainer().Record(0, {}).Record(kApp, Bytes("x")).Close(), 1,
         "Object Record(1) is not found\n"},
        {"container length 0", RawContainer().Record(0, kHeader).SetLength(0), 0, "Object Record(0) is not found\n"},
        {"container longer than its bytes", RawContainer().Record(0, kHeader).Close(4), 0,
         "Object Record(0) is not found\n"},
        {"record beyond the end", RawContainer().Record(0, kHeader).RecordWithLength(kApp, 1000, Bytes("x")).Close(),
         2, "Object Record (2) is not found\n"},
        {"header cut by the end", RawContainer().Record(0, kHeader).Raw({1, 0, 0, 0}).Close(), 2,
         "Object Record (2) is not found\n"},
    };
    for (Case& c : cases) {
        MocfReader reader;
        reader.Init(c.container.bytes.data(), uint32_t(c.container.bytes.size()));
        EXPECT_EQ(Get(reader, c.index).result, -1) << c.name;
        EXPECT_STREQ(reader.LastMessage(), c.message) << c.name;
    }
}

TEST(ContainerCreator, TagsAndRecords)
{
    CTlvContainerCreator generic;
    EXPECT_EQ(generic.GetContainerTag(), 0u);
    ASSERT_TRUE(generic.Begin(0x12345678));
    EXPECT_EQ(generic.GetContainerTag(), 0x12345678u);
    ASSERT_TRUE(generic.AddRecord(3, "abcde", 5));
    EXPECT_EQ(generic.Size(), 8u + 8 + 8);
    CTlvContainerParser parser(generic.Data(), generic.Size());
    EXPECT_EQ(parser.ContainerLength(), 16u);

    CMocfCreator mocf;
    EXPECT_EQ(mocf.GetContainerTag(), MOCF_TAG);
    CTlvContainerCreator* asBase = &mocf;
    EXPECT_EQ(asBase->GetContainerTag(), MOCF_TAG);
    ASSERT_TRUE(mocf.AddHeaderRecord(kHeader.data(), 1));
    ASSERT_TRUE(mocf.AddDigestRecord());
    EXPECT_TRUE(mocf.Seal());
}
