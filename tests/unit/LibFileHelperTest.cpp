#include "files/LibElf.h"
#include "files/LibFileHelper.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>

using testing_support::CapturedLog;
using testing_support::TempDir;

namespace {

struct FileHelperTest : ::testing::Test {
    void SetUp() override
    {
        log = Retain(new Log());
        captured = new CapturedLog(log);
        helper = Retain(new LibFileHelper(log));
    }
    void TearDown() override
    {
        Release(helper);
        delete captured;
        Release(log);
    }
    TempDir dir;
    Log* log = nullptr;
    CapturedLog* captured = nullptr;
    LibFileHelper* helper = nullptr;
};

} // namespace

TEST_F(FileHelperTest, LoadsWholeFiles)
{
    for (const std::string& content : {std::string(), std::string("firmware\0bytes", 14)}) {
        dir.Write("f.bin", content);
        FILE* file = helper->OpenFile(dir.WideFile("f.bin").c_str());
        ASSERT_NE(file, nullptr);
        uint8_t* buffer = nullptr;
        uint32_t size = 99;
        ASSERT_EQ(helper->LoadBin(file, &buffer, &size), 0);
        fclose(file);
        ASSERT_NE(buffer, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), content);
        free(buffer);
    }
    EXPECT_EQ(captured->Text(), "");
}

TEST_F(FileHelperTest, Failures)
{
    EXPECT_EQ(helper->OpenFile(dir.WideFile("none").c_str()), nullptr);
    EXPECT_EQ(captured->Text(), "Cannot open file: " + dir.File("none") + ": No such file or directory\n");

    captured->Clear();
    dir.Write("f.bin", "abc");
    FILE* file = helper->OpenFile(dir.WideFile("f.bin").c_str());
    ASSERT_NE(file, nullptr);
    uint32_t size = 99;
    EXPECT_EQ(helper->LoadBin(file, nullptr, &size), -1);
    fclose(file);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(captured->Text(), "Load @ NULL is illegal LibFileHelper.cpp:LibFileHelper::LoadBin:201\n");
}

TEST_F(FileHelperTest, OpensAFileAnotherProgramIsWriting)
{
    // A download tool still holding the firmware file it wrote, keeping
    // other writers off: reading it is no conflict.
    std::wstring path = dir.WideFile("f.bin");
    FILE* writer = platform::OpenFileDenyWrite(path.c_str(), "wb");
    ASSERT_NE(writer, nullptr);
    fputs("image", writer);
    fflush(writer);
    FILE* file = helper->OpenFile(path.c_str());
    ASSERT_NE(file, nullptr) << captured->Text();
    uint8_t* buffer = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(helper->LoadBin(file, &buffer, &size), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), size), "image");
    free(buffer);
    fclose(file);
    fclose(writer);
}

TEST(LibElf, MakesWhatItIsNotGivenAndFreesItsBuffers)
{
    auto* elf = Retain(new LibElf(nullptr, nullptr));
    ASSERT_NE(elf->log, nullptr);
    ASSERT_NE(elf->fileTool, nullptr);
    EXPECT_EQ(elf->fileTool->log, elf->log);
    elf->buffers[0] = malloc(10);
    elf->image = malloc(10);
    elf->ownsImage = true;
    elf->Clear();
    EXPECT_EQ(elf->buffers[0], nullptr);
    EXPECT_EQ(elf->image, nullptr);
    Release(elf);
}
