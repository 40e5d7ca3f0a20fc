// Whether a firmware file fits the device: the container's compat table
// against the device's P_INFO lists, and the choice among a container's
// objects of the one whose own compat ids the device accepts.
#include "flash/KIRO_FlashTool.h"

#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/TlvContainerParser.h"
#include "flash/KiroAppTool.h"
#include "log/Log.h"

#include <cstring>

namespace {

// The table record's data: type, length, the id count, then the ids.
constexpr uint64_t kTableCountAt = 8;
constexpr uint64_t kTableIdsAt = 12;

// A device list ends at its first 0 or after its last slot.
int DeviceListLength(const uint32_t* list)
{
    int length = 0;
    while (length < kPinfoListSize && list[length] != 0)
        ++length;
    return length;
}

bool InFileList(const KIRO_FlashTool& engine, uint32_t id)
{
    for (uint32_t i = 0; i < engine.FileCompatHeld(); ++i)
        if (engine.fileCompat[i] == id)
            return true;
    return false;
}

// The index of the first device entry the file also lists, or -1.
int FirstShared(const KIRO_FlashTool& engine, const uint32_t* list)
{
    int length = DeviceListLength(list);
    for (int i = 0; i < length; ++i)
        if (InFileList(engine, list[i]))
            return i;
    return -1;
}

void LogNotCompatible(KIRO_FlashTool& engine)
{
    const Pinfo& pinfo = engine.pinfo;
    engine.LogMsg(LOG_ERROR, L"File is not compatible, not in list\n");
    engine.LogMsg(LOG_ERROR, L"PINFO Compatable list:\n");
    for (int i = 0; i < DeviceListLength(pinfo.Compatable); ++i)
        engine.LogMsg(LOG_ERROR, L"PINFO Compat: %d is: 0x%02x\n", i, pinfo.Compatable[i]);
    engine.LogMsg(LOG_ERROR, L"PINFO InCompatable list:\n");
    for (int i = 0; i < DeviceListLength(pinfo.inCompatable); ++i)
        engine.LogMsg(LOG_ERROR, L"PINFO InCompat: %d is: 0x%02x\n", i, pinfo.inCompatable[i]);
    engine.LogMsg(LOG_ERROR, L"FILE Compatable list:\n");
    for (uint32_t i = 0; i < engine.FileCompatHeld(); ++i)
        engine.LogMsg(LOG_ERROR, L"File Compat: %d is: 0x%02x\n", static_cast<int>(i), engine.fileCompat[i]);
}

} // namespace

int32_t KIRO_FlashTool::LoadFileCompatList()
{
    const MocfObject* table = mocf->table;
    if (!table)
        return 0;
    // The digest only vouches for the bytes; a table that cannot hold its
    // own count or ids is a broken file, not an empty list.
    if (table->size < kTableIdsAt) {
        LogMsg(LOG_ERROR, L"Compat table too short: %d bytes\n", static_cast<int>(table->size));
        return -1;
    }
    uint32_t count = ReadLe32(table->data + kTableCountAt);
    fileCompatCount = count;
    if (count > kFileCompatMax) {
        LogMsg(LOG_ERROR, L"Compat table holds %u ids, more than %d\n", count, kFileCompatMax);
        return -1;
    }
    if (kTableIdsAt + uint64_t(count) * 4 > table->size) {
        LogMsg(LOG_ERROR, L"Compat table of %u ids runs past its %d bytes\n", count, static_cast<int>(table->size));
        fileCompatCount = 0;
        return -1;
    }
    for (uint32_t i = 0; i < count; ++i)
        fileCompat[i] = ReadLe32(table->data + kTableIdsAt + 4 * i);
    return 0;
}

CompatVerdict KIRO_FlashTool::CheckAttachedDevice(int32_t fileType)
{
    if (pinfo.Compatable[0] == 0) {
        LogMsg(LOG_ERROR, L"**WARNING** Workaround - Missing COMPAT Record\n");
        return CompatVerdict::NotApplicable;
    }
    if (fileType != MOCF_KIND_CONTAINER || FileCompatHeld() == 0)
        return CompatVerdict::NotApplicable;

    // Refusals first: an id on both device lists keeps the file out.
    int refused = FirstShared(*this, pinfo.inCompatable);
    if (refused >= 0) {
        LogMsg(LOG_ERROR, L"File is incompatible at entry %d\n", refused);
        LogMsg(LOG_ERROR, L"pinfo inCompatable[%d] = 0x%02x.\n", refused, pinfo.inCompatable[refused]);
        LogNotCompatible(*this);
        return CompatVerdict::NotCompatible;
    }
    int accepted = FirstShared(*this, pinfo.Compatable);
    if (accepted < 0) {
        LogNotCompatible(*this);
        return CompatVerdict::NotCompatible;
    }
    LogMsg(LOG_INFO, L"File is compatible at entry %d\n", accepted);
    LogMsg(LOG_INFO, L"pinfo Compatable[%d] = 0x%02x.\n", accepted, pinfo.Compatable[accepted]);
    return CompatVerdict::Compatible;
}

int32_t KIRO_FlashTool::CheckScannerBehindCradle()
{
    int refused = FirstShared(*this, pinfo.inCompatable);
    if (refused >= 0) {
        LogMsg(LOG_ERROR, L"File is incompatible at entry %d\n", refused);
        LogMsg(LOG_ERROR, L"pinfo inCompatable[n] = 0x%02x.\n", pinfo.inCompatable[refused]);
        return FLOW_INCOMPATIBLE;
    }
    int accepted = FirstShared(*this, pinfo.Compatable);
    if (accepted < 0) {
        LogMsg(LOG_ERROR, L"Firmware is not comatible with scanner. exit with file incompatible error.\n");
        return FLOW_INCOMPATIBLE;
    }
    LogMsg(LOG_INFO, L"File is compatible at entry %d\n", accepted);
    LogMsg(LOG_ERROR, L"pinfo Compatable[n] = 0x%02x.\n", pinfo.Compatable[accepted]);
    target_device_type = 1;
    return 0;
}

MocfObject* KIRO_FlashTool::FindObjectByCompat(uint32_t id, uint8_t type)
{
    int deviceIds = DeviceListLength(pinfo.Compatable);
    for (MocfObject* object = mocf->objects; object; object = object->next) {
        if (object->type != id)
            continue;
        kiro_header header;
        if (appTool->UnpackObjectHeader(object, &header) != 0 || header.type != type)
            continue;
        for (uint8_t c : header.c_array) {
            if (c == 0)
                break;
            LogMsg(LOG_INFO, L"Object compat id in kiro_header: 0x%x\n", c);
            for (int d = 0; d < deviceIds; ++d) {
                LogMsg(LOG_INFO, L"\tObject compat id from P_INFO: 0x%x\n", pinfo.Compatable[d]);
                if (c == pinfo.Compatable[d]) {
                    LogMsg(LOG_INFO, L"Object compat id matched from P_INFO: 0x%x\n", c);
                    return object;
                }
            }
        }
    }
    return nullptr;
}
