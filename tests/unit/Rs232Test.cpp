// The serial transport's shared pieces, the same on both platforms.
#include "io/FlashIo.h"
#include "io/Rs232.h"
#include "log/Log.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

uint32_t FlagWord(const DCB& dcb)
{
    uint32_t flags;
    memcpy(&flags, reinterpret_cast<const uint8_t*>(&dcb) + 8, sizeof flags);
    return flags;
}

void SetFlagWord(DCB& dcb, uint32_t flags)
{
    memcpy(reinterpret_cast<uint8_t*>(&dcb) + 8, &flags, sizeof flags);
}

TEST(Rs232, SetupByNumberLineKeepsOnlyTheDriversOtherFlags)
{
    for (uint32_t driverFlags : {0u, 0xFFFFFFFFu, 0x00000083u}) {
        DCB dcb;
        memset(&dcb, 0x5A, sizeof dcb);
        SetFlagWord(dcb, driverFlags);
        Rs232ApplyCurrentParameters(dcb, 115200);
        EXPECT_EQ(dcb.DCBlength, 28u);
        EXPECT_EQ(dcb.BaudRate, 115200u);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        EXPECT_EQ(FlagWord(dcb), (driverFlags & ~0x6b6cu) | 0x1010u) << std::hex << driverFlags;
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        EXPECT_EQ(dcb.fDsrSensitivity, 0u);
        EXPECT_EQ(dcb.fOutX, 0u);
        EXPECT_EQ(dcb.fInX, 0u);
        EXPECT_EQ(dcb.fNull, 0u);
        EXPECT_EQ(dcb.fAbortOnError, 0u);
        EXPECT_EQ(dcb.fDtrControl, static_cast<uint32_t>(DTR_CONTROL_ENABLE));
        EXPECT_EQ(dcb.fRtsControl, static_cast<uint32_t>(RTS_CONTROL_ENABLE));
        EXPECT_EQ(dcb.XonLim, 0x5A5A) << "fields after the flag word are the driver's";
    }
}

TEST(Rs232, LineTextsAndRates)
{
    EXPECT_EQ(std::string() + Rs232ParityLetter(0) + Rs232ParityLetter(1) + Rs232ParityLetter(2) +
                  Rs232ParityLetter(3) + Rs232ParityLetter(4) + Rs232ParityLetter(5),
              "NOEMS?");
    EXPECT_STREQ(Rs232StopBitsText(0), "1");
    EXPECT_STREQ(Rs232StopBitsText(1), "2");
    EXPECT_STREQ(Rs232StopBitsText(2), "2");
    EXPECT_STREQ(Rs232StopBitsText(3), "?");
    int supported = 0;
    for (int32_t rate = 0; rate <= 300000; ++rate)
        supported += Rs232BaudRateSupported(rate) ? 1 : 0;
    EXPECT_EQ(supported, 14);
    EXPECT_FALSE(Rs232BaudRateSupported(110));
    EXPECT_TRUE(Rs232BaudRateSupported(256000));
}

TEST(Rs232, WithoutABlockEverySlotSaysSo)
{
    Log* log = Retain(new Log());
    {
        testing_support::CapturedLog capture(log);
        FlashIo* flashIo = Retain(new FlashIo(log));
        FlashIoDevice* io = flashIo->io;
        EXPECT_EQ(rs232_setup(io), -1);
        EXPECT_STREQ(err2str(io), L"No cookie? win32 rs232");
        rs232_purge(io);
        rs232_destroy(io);   // only clears the slots
        EXPECT_EQ(capture.Text(), "no memory for io structure\nNo cookie: err2str\n");
        Release(flashIo);
    }
    Release(log);
}

} // namespace
