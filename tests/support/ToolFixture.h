// A flash tool with its log captured, for tests of the host-facing API.
#pragma once

#include "api/ToolContext.h"
#include "flash/KIRO_FlashTool.h"
#include "support/TestSupport.h"
#include "tambrix01/FlashTool.h"

#include <gtest/gtest.h>

#include <memory>

namespace testing_support {

class ToolTest : public ::testing::Test {
protected:
    ToolTest() : tool(CreateFlashTool()), context(tool->context), log(std::make_unique<CapturedLog>(context->log)) {}
    ~ToolTest() override
    {
        log.reset();
        DestroyFlashTool(tool);
    }

    uint32_t Set(int32_t id, void* value, uint64_t size) { return tool->SetSetting(id, value, size); }
    uint32_t Get(int32_t id, void* value, uint64_t size) { return tool->GetSetting(id, value, size); }
    uint32_t SetU64(int32_t id, uint64_t value) { return Set(id, &value, sizeof value); }
    uint64_t GetU64(int32_t id)
    {
        uint64_t value = 0xDEAD;
        EXPECT_EQ(Get(id, &value, sizeof value), 0u) << "id " << id;
        return value;
    }
    uint32_t SetPort(const wchar_t* name) { return Set(CFS_PORTNAME, const_cast<wchar_t*>(name), wcslen(name)); }
    bool Logged(const std::string& part) const { return log->Contains(part); }

    CFlashTool* tool;
    ToolContext* context;
    std::unique_ptr<CapturedLog> log;
};

} // namespace testing_support
