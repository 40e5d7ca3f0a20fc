#include "files/FirmwareBuilder.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "support/RawContainer.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using testing_support::Bytes;
using testing_support::CapturedLog;
using testing_support::RawContainer;
using testing_support::TempDir;

namespace {

std::string g_console;
void Capture(const char* text)
{
    g_console += text;
}

std::string AsText(const std::vector<uint8_t>& bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

std::string NodeText(const MocfObject* node)
{
    return std::string(reinterpret_cast<const char*>(node->data), size_t(node->size));
}

struct LibMocfTest : ::testing::Test {
    void SetUp() override
    {
        g_console.clear();
        previousWriter = SetMocfConsoleWriter(Capture);
        log = Retain(new Log());
        captured = new CapturedLog(log);
        mocf = Retain(new LibMOCF(nullptr, log));
    }
    void TearDown() override
    {
        Release(mocf);
        delete captured;
        Release(log);
        SetMocfConsoleWriter(previousWriter);
    }
    int32_t Load(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        path = dir.Write(name, AsText(bytes));
        return mocf->LoadFile(dir.WideFile(name).c_str());
    }
    void ExpectNothingLoaded()
    {
        EXPECT_EQ(mocf->kind, MOCF_KIND_NONE);
        EXPECT_EQ(mocf->ObjectCount(), 0);
        EXPECT_EQ(mocf->ObjectAt(0), nullptr);
        EXPECT_TRUE(mocf->fileName.empty());
    }

    TempDir dir;
    std::string path;
    Log* log = nullptr;
    CapturedLog* captured = nullptr;
    LibMOCF* mocf = nullptr;
    MocfConsoleWriter previousWriter = nullptr;
};

std::vector<uint8_t> WithLength(std::vector<uint8_t> bytes, uint32_t length)
{
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = uint8_t(length >> 8 * i);
    return bytes;
}

std::vector<uint8_t> Tagged(const std::string& tag, size_t size)
{
    std::vector<uint8_t> bytes(size, 0);
    std::copy(tag.begin(), tag.end(), bytes.begin());
    return WithLength(bytes, uint32_t(size - 8));
}

} // namespace

TEST_F(LibMocfTest, RefusedFilesAndTheirMessages)
{
    std::vector<uint8_t> invalid = firmware::MakeStandardContainer();
    invalid[invalid.size() - 1] ^= 1;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string message;   // after "<path>: "
    } cases[] = {
        {"empty", {}, "Not an MOCF File (too short)\n"},
        {"63 bytes", Tagged("MOCF", 63), "Not an MOCF File (too short)\n"},
        {"length field off by one", WithLength(Tagged("MOCF", 100), 93), "Wrong length, file: 100, tag+8: 101\n"},
        {"length field near 2^32", WithLength(Tagged("MOCF", 64), 0xFFFFFFF8), "Wrong length, file: 64, tag+8: 0\n"},
        // 64 bytes with length 56 pass the length checks and reach the tag.
        {"unknown tag", Tagged("xV4\x01", 64), "Not a supported mocf file: 0x01345678 (xV4.)\n"},
        {"16 MiB + 1", Tagged("MOCF", 0x1000001), "Invalid length: 16777217d, 0x01000001\n"},
        {"bad digest", invalid, ""},
    };
    for (const Case& c : cases) {
        captured->Clear();
        g_console.clear();
        EXPECT_EQ(Load("refused.bin", c.bytes), -1) << c.name;
        if (c.message.empty()) {
            // The parser's own message, which carries its line end.
            EXPECT_EQ(captured->Text(), "Failure copying raw MOCF data Invalid MOCF data!\n") << c.name;
            EXPECT_EQ(g_console, "Invalid MOCF data!\n");
        } else {
            EXPECT_EQ(captured->Text(), path + ": " + c.message) << c.name;
        }
        ExpectNothingLoaded();
    }
}

TEST_F(LibMocfTest, FileThatCannotBeOpened)
{
    std::string missing = dir.File("missing.mocf");
    EXPECT_EQ(mocf->LoadFile(dir.WideFile("missing.mocf").c_str()), 0);
    EXPECT_EQ(mocf->kind, MOCF_KIND_NONE);
    EXPECT_EQ(captured->Text(), "Cannot open file: " + missing + ": No such file or directory\n");
}

TEST_F(LibMocfTest, ContainerNodesInEnumerationOrder)
{
    firmware::ContainerRecipe recipe;
    recipe.table = false;
    std::vector<uint8_t> boot = firmware::MakeImage(firmware::DefaultBoot());
    std::vector<uint8_t> app = firmware::MakeImage(firmware::DefaultApp());
    recipe.images = {boot, app};
    std::vector<uint8_t> file = firmware::MakeContainer(recipe);
    ASSERT_EQ(Load("fw.mocf", file), 0) << captured->Text();

    EXPECT_EQ(mocf->kind, MOCF_KIND_CONTAINER);
    EXPECT_EQ(mocf->ObjectCount(), 5);
    const MocfObject* container = mocf->ObjectAt(0);
    ASSERT_NE(container, nullptr);
    EXPECT_EQ(container->type, 0x46434f4du);
    EXPECT_EQ(NodeText(container), AsText(file));
    EXPECT_EQ(mocf->ObjectAt(1)->type, 0u);
    EXPECT_EQ(mocf->ObjectAt(2)->type, 1u);
    // Image records come back byte for byte as the images went in.
    EXPECT_EQ(NodeText(mocf->ObjectAt(3)), AsText(boot));
    EXPECT_EQ(NodeText(mocf->ObjectAt(4)), AsText(app));
    EXPECT_STREQ(mocf->ObjectAt(3)->name, "Dummy");
    EXPECT_EQ(mocf->ObjectAt(5), nullptr);
    EXPECT_EQ(mocf->fileName, dir.WideFile("fw.mocf"));

    mocf->Clear();
    ExpectNothingLoaded();
}

TEST_F(LibMocfTest, ImportStopsAtTheFirstEmptyRecord)
{
    RawContainer c;
    c.Record(0, {0}).Record(0x0A000004, Bytes("first")).Record(0x0A000005, {}).Record(0x0A000006, Bytes("never"));
    c.Raw(std::vector<uint8_t>(40, 0)).Close();
    ASSERT_EQ(mocf->ParseImage(c.bytes.data(), uint32_t(c.bytes.size())), 0) << captured->Text();
    EXPECT_EQ(mocf->ObjectCount(), 3);
    EXPECT_EQ(NodeText(mocf->ObjectAt(2)).substr(8), "first");
}

TEST_F(LibMocfTest, SingleImage)
{
    firmware::ImageRecipe recipe = firmware::DefaultApp();
    recipe.objectType = 0x0B400001;
    std::vector<uint8_t> image = firmware::MakeImage(recipe);
    ASSERT_EQ(Load("app.bin", image), 0) << captured->Text();
    EXPECT_EQ(mocf->kind, MOCF_KIND_SINGLE);
    ASSERT_EQ(mocf->ObjectCount(), 1);
    const MocfObject* node = mocf->ObjectAt(0);
    EXPECT_EQ(node->type, 0x0B400001u);
    EXPECT_EQ(node->size, image.size());
    EXPECT_EQ(NodeText(node), AsText(image));
    EXPECT_EQ(std::string(node->name), path);

    // Loading a container next leaves nothing of the image behind.
    ASSERT_EQ(Load("fw.mocf", firmware::MakeStandardContainer()), 0);
    EXPECT_EQ(mocf->ObjectCount(), 6);
}

TEST_F(LibMocfTest, ParseImageInMemory)
{
    std::vector<uint8_t> image = firmware::MakeImage(firmware::DefaultBoot());
    // Size 0 takes the length field.
    ASSERT_EQ(mocf->ParseImage(image.data(), 0), 0);
    EXPECT_EQ(mocf->ObjectAt(0)->size, image.size());
    EXPECT_STREQ(mocf->ObjectAt(0)->name, "");

    // An image that claims more bytes than it was handed is refused rather
    // than copied past its end.
    captured->Clear();
    EXPECT_EQ(mocf->ParseImage(image.data(), 200), -1);
    EXPECT_EQ(captured->Text(), ": Wrong length, file: 200, tag+8: 1024\n");
    ExpectNothingLoaded();

    std::vector<uint8_t> container = firmware::MakeStandardContainer();
    ASSERT_EQ(mocf->ParseImage(container.data(), 0), 0);
    EXPECT_EQ(mocf->ObjectCount(), 6);
    EXPECT_EQ(mocf->ParseImage(container.data(), uint32_t(container.size() - 4)), -1);
    ExpectNothingLoaded();
}

TEST_F(LibMocfTest, StreamLoadNamesThePointer)
{
    std::string file = dir.Write("short.bin", std::string(10, 'x'));
    FILE* stream = fopen(file.c_str(), "rb");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(mocf->LoadStream(stream), -1);
    fclose(stream);
    EXPECT_EQ(captured->Text(), "<filepointer>: Not an MOCF File (too short)\n");
    EXPECT_TRUE(mocf->fileName.empty());
}

TEST_F(LibMocfTest, EveryChangedByteIsRefused)
{
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    firmware::ImageRecipe app = firmware::DefaultApp();
    boot.size = 301;   // odd sizes, so the records carry fill bytes
    app.size = 258;
    firmware::ContainerRecipe recipe;
    recipe.tableIds = {1, 2};
    recipe.images = {firmware::MakeImage(boot), firmware::MakeImage(app)};
    std::vector<uint8_t> file = firmware::MakeContainer(recipe);
    ASSERT_EQ(mocf->ParseImage(file.data(), uint32_t(file.size())), 0);

    // Every byte, the digest's own included, fill bytes included. The
    // format lets a container go without digest, so a change that hides the
    // digest record (its type, or the header record's length growing over
    // it) can leave a container that is accepted as one without digest.
    // Nothing changed is ever accepted as sealed.
    for (size_t at = 0; at < file.size(); ++at) {
        for (uint8_t flip : {0x01, 0x20, 0x80}) {
            std::vector<uint8_t> changed = file;
            changed[at] ^= flip;
            if (mocf->ParseImage(changed.data(), uint32_t(changed.size())) == 0) {
                EXPECT_EQ(mocf->digest, nullptr) << "byte " << at;
                EXPECT_TRUE((at >= 12 && at < 16) || (at >= 20 && at < 24)) << "byte " << at;
            }
        }
    }
}

TEST_F(LibMocfTest, ManySmallRecordsLoadAndFree)
{
    // A long object chain must neither make the import quadratic nor the
    // release recursive.
    const uint32_t records = 200000;
    RawContainer c;
    c.Record(0, {0});
    c.bytes.reserve(8 + 12 + records * 12);
    for (uint32_t i = 0; i < records; ++i)
        c.Record(0x0A000004, {uint8_t(i)});
    c.Close();
    ASSERT_EQ(mocf->ParseImage(c.bytes.data(), uint32_t(c.bytes.size())), 0) << captured->Text();
    int32_t count = mocf->ObjectCount();
    ASSERT_EQ(count, int32_t(records + 2));
    // Walking every object by index, as the flash sequence does.
    for (int32_t i = 2; i < count; ++i)
        ASSERT_EQ(mocf->ObjectAt(i)->data[8], uint8_t(i - 2)) << i;
    EXPECT_EQ(mocf->ObjectAt(count), nullptr);
    EXPECT_EQ(mocf->ObjectAt(3)->data[8], 1);   // back to the start
    mocf->Clear();
    EXPECT_EQ(mocf->ObjectCount(), 0);
}

TEST_F(LibMocfTest, UnknownKindCountsNothing)
{
    mocf->kind = 7;
    EXPECT_EQ(mocf->ObjectCount(), 0);
    EXPECT_EQ(captured->Text(), "MOCF type unknown: 7\n");
    mocf->kind = MOCF_KIND_NONE;
}

TEST_F(LibMocfTest, SixteenMiBIsTheLargestFile)
{
    RawContainer c;
    c.Record(0, {0}).Record(0x0A000004, std::vector<uint8_t>(0x1000000 - 8 - 12 - 8, 0x5A)).Close();
    ASSERT_EQ(c.bytes.size(), 0x1000000u);
    EXPECT_EQ(Load("large.mocf", c.bytes), 0) << captured->Text();
    EXPECT_EQ(mocf->ObjectCount(), 3);
    // Buffers this size come from the large-page allocation: every byte
    // still arrives where it belongs.
    EXPECT_TRUE(NodeText(mocf->ObjectAt(0)) == AsText(c.bytes));
    EXPECT_TRUE(NodeText(mocf->ObjectAt(2)) == AsText(c.bytes).substr(8 + 12));
}
