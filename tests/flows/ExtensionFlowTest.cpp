// This library's extension ids: every status report reaches the host, the
// device's own report on request, and the reports a flash read before and
// after it. The interface's own operations are unchanged by them.
#include "support/FirmwareFiles.h"
#include "support/SimTool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using testing_support::SimTool;

struct Report {
    uint32_t status;
    uint64_t x, y;
};

void Collect(void* context, uint32_t status, uint64_t x, uint64_t y)
{
    static_cast<std::vector<Report>*>(context)->push_back({status, x, y});
}

int32_t CountProgress(uint64_t context, int32_t, uint64_t, uint64_t)
{
    ++*reinterpret_cast<int*>(static_cast<uintptr_t>(context));
    return 0;
}

std::string Text(SimTool& sim, int32_t id, uint32_t* result, uint64_t capacity = 8192)
{
    std::vector<wchar_t> text(capacity, L'?');
    *result = sim.tool->GetSetting(id, text.data(), capacity);
    return *result == CFS_RESULT_OK ? platform::WideToUtf8(text.data()) : "";
}

size_t IndexOf(const std::vector<Report>& reports, uint32_t status)
{
    auto it = std::find_if(reports.begin(), reports.end(), [&](const Report& r) { return r.status == status; });
    return static_cast<size_t>(it - reports.begin());
}

// A whole flash: the host sees the steps in order, the images' bytes up to
// their sizes, and still gets its progress callback as before.
TEST(StatusReports, EveryStepOfAFlashReachesTheHost)
{
    SimTool sim(sim::DeviceConfig::CordedScanner());
    testing_support::FirmwareFile f = testing_support::StandardFile(0x41);
    std::vector<Report> reports;
    StatusReportSettings settings = {&Collect, &reports};
    ASSERT_EQ(sim.Set(CFS_TAMBRIX_STATUS_REPORTS, &settings, sizeof settings), CFS_RESULT_OK);
    ASSERT_EQ(sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&CountProgress), 8), CFS_RESULT_OK);
    int progress = 0;
    EXPECT_EQ(sim.tool->FlashScanner(reinterpret_cast<uintptr_t>(&progress), sim.WriteFile("fw.mocf", f.file).c_str()),
              FLASH_RESULT_OK);
    EXPECT_GT(progress, 0);

    size_t info = IndexOf(reports, 1), boot = IndexOf(reports, 2), bootImage = IndexOf(reports, 5),
           appImage = IndexOf(reports, 9), appRestart = IndexOf(reports, 11);
    EXPECT_LT(info, boot);
    EXPECT_LT(boot, bootImage);
    EXPECT_LT(bootImage, appImage);
    EXPECT_LT(appImage, appRestart);
    ASSERT_LT(appRestart, reports.size());
    const Report& lastApp = reports[appRestart - 1];
    EXPECT_EQ(lastApp.status, 9u);
    EXPECT_EQ(lastApp.x, f.app.size());
    EXPECT_EQ(lastApp.y, f.app.size());

    // A wrong size is refused; a null callback stops the reports.
    EXPECT_EQ(sim.Set(CFS_TAMBRIX_STATUS_REPORTS, &settings, 8), CFS_RESULT_REFUSED);
    StatusReportSettings none = {nullptr, nullptr};
    ASSERT_EQ(sim.Set(CFS_TAMBRIX_STATUS_REPORTS, &none, sizeof none), CFS_RESULT_OK);
    reports.clear();
    EXPECT_EQ(sim.tool->FlashScanner(reinterpret_cast<uintptr_t>(&progress), sim.WriteFile("fw2.mocf", f.file).c_str()),
              FLASH_RESULT_OK);
    EXPECT_TRUE(reports.empty());
}

// The reports before and after a flash, and the device asked directly.
TEST(DeviceReports, BeforeAfterAndOnRequest)
{
    SimTool sim(sim::DeviceConfig::CordedScanner());
    uint32_t result = 0;
    EXPECT_EQ(Text(sim, CFS_TAMBRIX_REPORT_BEFORE, &result), "");
    EXPECT_EQ(result, CFS_RESULT_OK);

    std::string asked = Text(sim, CFS_TAMBRIX_DEVICE_REPORT, &result);
    EXPECT_EQ(result, CFS_RESULT_OK);
    EXPECT_NE(asked.find("mode: app\n"), std::string::npos) << asked;
    EXPECT_NE(asked.find("app-rev: SIM-APP-1\n"), std::string::npos) << asked;
    // Too small a buffer is refused, not cut; the id is read-only.
    Text(sim, CFS_TAMBRIX_DEVICE_REPORT, &result, 8);
    EXPECT_EQ(result, CFS_RESULT_REFUSED);
    wchar_t text[8] = {};
    EXPECT_EQ(sim.Set(CFS_TAMBRIX_DEVICE_REPORT, text, 8), CFS_RESULT_REFUSED);

    testing_support::FirmwareFile f = testing_support::StandardFile(0x41, {"BOOT-2", 5000, "APP-NEW", 20000});
    EXPECT_EQ(sim.Flash(sim.WriteFile("fw.mocf", f.file)), FLASH_RESULT_OK);
    std::string before = Text(sim, CFS_TAMBRIX_REPORT_BEFORE, &result);
    std::string after = Text(sim, CFS_TAMBRIX_REPORT_AFTER, &result);
    EXPECT_NE(before.find("app-rev: SIM-APP-1\n"), std::string::npos) << before;
    EXPECT_EQ(after.find("SIM-APP-1"), std::string::npos) << after;
    EXPECT_NE(after.find("app-rev: "), std::string::npos) << after;
    // The log names the result the host received beside the flow's own.
    EXPECT_TRUE(sim.Logged("FlashScanner returns 0"));
}

// A silent device: no report, and the query says so with 2.
TEST(DeviceReports, ASilentDeviceGivesNone)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.faults.silentFrom = 1;
    SimTool sim(config);
    uint32_t result = 0;
    EXPECT_EQ(Text(sim, CFS_TAMBRIX_DEVICE_REPORT, &result), "");
    EXPECT_EQ(result, CFS_RESULT_FAILED);
}

} // namespace
