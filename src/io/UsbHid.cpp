#include "io/UsbHid.h"

#include "io/FlashIo.h"
#include "io/UsbDevicePath.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

const char kUsbTag[] = "The usb string";

namespace {

UsbCookie* CookieOf(FlashIoDevice* io)
{
    return io ? static_cast<UsbCookie*>(io->cookie) : nullptr;
}

unsigned HandleValue(const platform::NamedMutex* mutex)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(mutex));
}

wchar_t* CopyText(const wchar_t* text)
{
    if (!text)
        return nullptr;
    size_t size = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(malloc(size));
    if (copy)
        memcpy(copy, text, size);
    return copy;
}

void FreeCookie(UsbCookie* cookie)
{
    if (cookie->native)
        cookie->backend->destroy(cookie->native);
    free(cookie->ownedPath);
    free(cookie->ownedDevicePath);
    memset(cookie, 0, sizeof *cookie);
    free(cookie);
}

void ReleaseDeviceMutex(FlashIoDevice* io)
{
    if (!io->m_hDeviceMutex)
        return;
    IoLog(io, LOG_INFO, L"Release m_hDeviceMutex in my_usb_destory: 0x%08x.\n", HandleValue(io->m_hDeviceMutex));
    platform::ReleaseNamedMutex(io->m_hDeviceMutex);
    platform::CloseNamedMutex(io->m_hDeviceMutex);
    io->m_hDeviceMutex = nullptr;
}

// The flush without pauses only wants to know what has come in: with nothing
// buffered it asks the system without the report wait, which would otherwise
// cost every packet two idle waits. A report still on its way is kept by the
// system (hidraw queues it; a read cancelled in the race keeps it on
// Windows). The flush says so itself: a short timeout alone is a caller's
// choice, and the flush with pauses after a NAK or a spew expects late
// replies, so both keep the wait.
uint32_t ReportWaitMs(const FlashIoDevice* io, UsbCookie* cookie, uint32_t timeoutMs)
{
    if (io->flushPoll && RingUsed(&cookie->ring) == 0 && !io->usbFullReportWait)
        return timeoutMs;
    return std::max(timeoutMs, kUsbMinReportWaitMs);
}

UsbNative* Native(void* native)
{
    return static_cast<UsbNative*>(native);
}

} // namespace

const UsbBackend kUsbSystemBackend = {
    [](void*) -> void* { return UsbNativeCreate(); },
    [](void* native) { UsbNativeDestroy(Native(native)); },
    [](const void* native) { return UsbNativeIsOpen(static_cast<const UsbNative*>(native)); },
    [](FlashIoDevice* io, void* native, const std::function<bool(int, wchar_t*)>& visit) {
        UsbNativeEnumerate(io, Native(native), visit);
    },
    [](FlashIoDevice* io, void* native, const wchar_t* path, int32_t vendorId, int32_t productId) {
        return UsbNativeOpen(io, Native(native), path, vendorId, productId);
    },
    [](void* native) { UsbNativeClose(Native(native)); },
    [](void* native) { UsbNativeFlushQueue(Native(native)); },
    [](FlashIoDevice* io, void* native, const uint8_t* report, uint32_t timeoutMs) {
        return UsbNativeWriteReport(io, Native(native), report, timeoutMs);
    },
    [](FlashIoDevice* io, void* native, uint8_t* report, uint32_t waitMs, uint32_t* received) {
        return UsbNativeReadReport(io, Native(native), report, waitMs, received);
    },
    [](FlashIoDevice* io, void* native, const wchar_t* path, UsbDeviceFacts* facts) {
        return UsbNativeDescribe(io, Native(native), path, facts);
    },
};

UsbPathMatch UsbPathMatches(FlashIoDevice* io, const UsbIdentity& id, int index, wchar_t* path, bool traceSteps)
{
    IoLog(io, LOG_DETAIL, L"Index: %d Found: %s\n", index, path);
    std::wstring pattern = UsbMatchPattern(id.vendorId, id.productId, id.interfaceNumber);
    UsbLowerCase(path);
    if (traceSteps) {
        IoLog(io, LOG_DETAIL, L"Index: %d Low-case: %s\n", index, path);
        IoLog(io, LOG_DETAIL, L"find 1th item version: %s\n", pattern.c_str());
    }
    if (wcsstr(path, pattern.c_str()))
        return UsbPathMatch::Exact;
    IoLog(io, LOG_DETAIL, L"No Match(1): %s\n", pattern.c_str());
    if (id.interfaceNumber != 0)
        return UsbPathMatch::None;
    pattern = UsbMatchPattern(id.vendorId, id.productId);
    if (traceSteps)
        IoLog(io, LOG_DETAIL, L"find 2th item version: %s\n", pattern.c_str());
    if (wcsstr(path, pattern.c_str()))
        return UsbPathMatch::IdsOnly;
    IoLog(io, LOG_DETAIL, L"No Match(2): %s\n", pattern.c_str());
    return UsbPathMatch::None;
}

// A device the transport opened, as it was then.
struct UsbKnownDevice {
    bool known = false;
    UsbDeviceFacts facts;
    // No other device with its ids was present: a device without a serial
    // number found alone again later cannot be a bystander that was there.
    bool alone = false;
};

struct UsbKnownDevices {
    std::wstring hostPath;   // the path the host gave, the application's
    UsbKnownDevice app;      // the device first opened by it
    std::wstring appFoundAt; // where that device was found again
    UsbKnownDevice boot;     // the device the search by ids found
    struct Mark {
        int32_t vendorId;
        int32_t productId;
        int slot;
        platform::NamedMutex* mutex;
    };
    std::vector<Mark> marks;
};

namespace {

// Marks per ids: one per process that works with such a device at once.
constexpr int kUsbIdsMarks = 8;

std::wstring MarkName(int32_t vendorId, int32_t productId, int slot)
{
    return L"Global\\ZOT_TAMBRIX01_INUSE_" + UsbMatchPattern(vendorId, productId) + L"#" + std::to_wstring(slot);
}

UsbKnownDevices* Known(FlashIoDevice* io)
{
    if (!io->usbKnown)
        io->usbKnown = new (std::nothrow) UsbKnownDevices();
    return io->usbKnown;
}

bool SameDevice(const UsbDeviceFacts& a, const UsbDeviceFacts& b)
{
    return a.vendorId == b.vendorId && a.productId == b.productId && a.interfaceNumber == b.interfaceNumber &&
           a.hasSerial == b.hasSerial && (!a.hasSerial || a.serial == b.serial);
}

std::wstring Shown(const UsbDeviceFacts& facts, bool where = true)
{
    wchar_t text[96];
    swprintf(text, sizeof text / sizeof text[0], L"VendorID: %d, Product ID: %d, interface %d, ", facts.vendorId,
             facts.productId, facts.interfaceNumber);
    std::wstring shown = text + (facts.hasSerial ? L"serial number " + facts.serial : L"no serial number");
    return !where || facts.location.empty() ? shown : shown + L", at " + facts.location;
}

// Whether another process has marked these ids (UsbMarkIdsInUse). A look
// takes each free mark for an instant; a process that marks at that moment
// moves on to the next one.
bool OthersUseIds(FlashIoDevice* io, int32_t vendorId, int32_t productId)
{
    for (int slot = 0; slot < kUsbIdsMarks; ++slot) {
        bool ours = false;
        if (io->usbKnown)
            for (const UsbKnownDevices::Mark& mark : io->usbKnown->marks)
                ours = ours || (mark.vendorId == vendorId && mark.productId == productId && mark.slot == slot);
        if (ours)
            continue;
        bool existed = false;
        platform::NamedMutex* mutex = platform::CreateNamedMutex(MarkName(vendorId, productId, slot).c_str(), &existed);
        // A mark that cannot be looked at may be another's.
        if (!mutex)
            return true;
        platform::CloseNamedMutex(mutex);
        if (existed)
            return true;
    }
    return false;
}

} // namespace

void UsbMarkIdsInUse(FlashIoDevice* io, int32_t vendorId, int32_t productId)
{
    UsbKnownDevices* known = io && vendorId > 0 ? Known(io) : nullptr;
    if (!known)
        return;
    for (const UsbKnownDevices::Mark& mark : known->marks)
        if (mark.vendorId == vendorId && mark.productId == productId)
            return;
    for (int slot = 0; slot < kUsbIdsMarks; ++slot) {
        bool existed = false;
        std::wstring name = MarkName(vendorId, productId, slot);
        platform::NamedMutex* mutex = platform::CreateNamedMutex(name.c_str(), &existed);
        if (mutex && !existed) {
            known->marks.push_back({vendorId, productId, slot, mutex});
            return;
        }
        platform::CloseNamedMutex(mutex);
    }
    // Every mark is taken: others see them all taken as well, so nobody
    // takes a device without a serial number for another's.
    IoLog(io, LOG_INFO, L"Every mark of VendorID: %d, Product ID: %d is taken by others.\n", vendorId, productId);
}

void UsbForgetDevices(FlashIoDevice* io)
{
    if (!io || !io->usbKnown)
        return;
    for (const UsbKnownDevices::Mark& mark : io->usbKnown->marks) {
        platform::ReleaseNamedMutex(mark.mutex);
        platform::CloseNamedMutex(mark.mutex);
    }
    delete io->usbKnown;
    io->usbKnown = nullptr;
}

namespace {

bool KeepPath(UsbCookie* cookie, const wchar_t* path)
{
    wchar_t* copy = CopyText(path);
    if (!copy)
        return false;
    free(cookie->ownedPath);
    cookie->ownedPath = copy;
    cookie->identity.preservedPath = copy;
    return true;
}

// Claims the matching device at path through its mutex and opens it: true
// when it is ours now. *occupied tells that another holder had the mutex.
bool ClaimAndOpen(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path, bool* occupied)
{
    std::wstring name;
    if (!UsbDeviceMutexName(path, name))
        return false;
    bool existed = false;
    io->m_hDeviceMutex = platform::CreateNamedMutex(name.c_str(), &existed);
    IoLog(io, LOG_INFO, L"Create mutex with name: %s,handle = 0x%08x.\n", name.c_str(), HandleValue(io->m_hDeviceMutex));
    if (!io->m_hDeviceMutex) {
        IoLog(io, LOG_ERROR, L"Failed to create mutex with name: %s,mutex handle = 0x%08x.\n", name.c_str(), 0u);
        return false;
    }
    if (existed) {
        IoLog(io, LOG_ERROR, L"Device: %s is occupied by other mutex.\n", name.c_str());
        platform::CloseNamedMutex(io->m_hDeviceMutex);
        io->m_hDeviceMutex = nullptr;
        *occupied = true;
        return false;
    }
    IoLog(io, LOG_INFO, L"Device: %s is available\n", name.c_str());
    if (do_usb_open(io, cookie, path) == 0 && KeepPath(cookie, path))
        return true;
    IoLog(io, LOG_ERROR, L"Failed to open %s, release mutex handle first and continue.\n", path);
    cookie->backend->close(cookie->native);
    platform::CloseNamedMutex(io->m_hDeviceMutex);
    io->m_hDeviceMutex = nullptr;
    return false;
}

// Whether another matching device is free; never keeps a mutex.
bool OtherDeviceFree(FlashIoDevice* io, const wchar_t* path)
{
    std::wstring name;
    if (!UsbDeviceMutexName(path, name))
        return false;
    bool existed = false;
    platform::NamedMutex* mutex = platform::CreateNamedMutex(name.c_str(), &existed);
    IoLog(io, LOG_INFO, L"Create mutex with name: %s,handle = 0x%08x.\n", name.c_str(), HandleValue(mutex));
    if (!mutex) {
        IoLog(io, LOG_ERROR, L"Failed to create mutex with name: %s,mutex handle = 0x%08x.\n", name.c_str(), 0u);
        return false;
    }
    if (existed)
        IoLog(io, LOG_ERROR, L"Device: %s is occupied by other mutex.\n", name.c_str());
    else
        IoLog(io, LOG_INFO, L"Device: %s is available\n", path);
    platform::CloseNamedMutex(mutex);
    return !existed;
}

// A closed block for the identity, or null when memory runs out. The
// caller's texts may go while the transport lives, so the block keeps copies.
UsbCookie* NewCookie(const UsbIdentity& identity, const UsbBackend* backend, void* context)
{
    auto* cookie = static_cast<UsbCookie*>(calloc(1, sizeof(UsbCookie)));
    if (!cookie)
        return nullptr;
    cookie->backend = backend;
    cookie->native = backend->create(context);
    if (identity.devicePath)
        cookie->ownedDevicePath = CopyText(identity.devicePath);
    if (!cookie->native || (identity.devicePath && !cookie->ownedDevicePath) ||
        (identity.preservedPath && !KeepPath(cookie, identity.preservedPath))) {
        FreeCookie(cookie);
        return nullptr;
    }
    cookie->tag = kUsbTag;
    cookie->identity = identity;
    cookie->identity.devicePath = cookie->ownedDevicePath;
    cookie->identity.preservedPath = cookie->ownedPath;
    cookie->openFlag = 0;
    cookie->writeTimeoutMs = kUsbWriteTimeoutMs;
    RingInit(&cookie->ring, cookie->receiveStorage, kUsbRingSize);
    return cookie;
}

int32_t OpenByPath(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path)
{
    if (do_usb_open(io, cookie, path) < 0)
        return -1;
    cookie->openFlag = 1;
    return 0;
}

} // namespace

namespace {

// The matching paths of a walk, the exact interface first, then devices
// without interfaces. Another interface of a composite device is taken only
// when no device carries the exact one: it may belong to a device that
// another process holds by its exact interface.
std::vector<std::wstring> MatchingPaths(FlashIoDevice* io, UsbCookie* cookie, const UsbIdentity& identity,
                                        bool traceSteps)
{
    std::vector<std::wstring> exact, single, otherInterface;
    cookie->backend->enumerate(io, cookie->native, [&](int index, wchar_t* path) {
        UsbPathMatch match = UsbPathMatches(io, identity, index, path, traceSteps);
        if (match == UsbPathMatch::Exact)
            exact.emplace_back(path);
        else if (match == UsbPathMatch::IdsOnly)
            (wcsstr(path, L"&mi_") ? otherInterface : single).emplace_back(path);
        return false;
    });
    if (!exact.empty())
        otherInterface.clear();
    exact.insert(exact.end(), single.begin(), single.end());
    exact.insert(exact.end(), otherInterface.begin(), otherInterface.end());
    return exact;
}

std::vector<std::wstring> MatchingPaths(FlashIoDevice* io, UsbCookie* cookie, bool traceSteps)
{
    return MatchingPaths(io, cookie, cookie->identity, traceSteps);
}

} // namespace

namespace {

bool Describe(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path, UsbDeviceFacts& facts)
{
    return cookie->backend->describe && cookie->backend->describe(io, cookie->native, path, &facts);
}

UsbIdentity IdsOf(const UsbDeviceFacts& facts)
{
    return UsbIdentity{facts.vendorId, facts.productId, facts.interfaceNumber, 0, nullptr, nullptr};
}

// Notes the device just opened at path, to know it again after a restart.
void Learn(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path, UsbKnownDevice& known)
{
    UsbDeviceFacts facts;
    if (!Describe(io, cookie, path, facts) || facts.vendorId <= 0)
        return;
    known.known = true;
    known.facts = facts;
    known.alone = MatchingPaths(io, cookie, IdsOf(facts), false).size() == 1;
    UsbMarkIdsInUse(io, facts.vendorId, facts.productId);
}

// Node numbers and paths are given out again: after a restart the old one
// may lead to another device, or to ours on another port, whose claim then
// has to move with it. A device with a serial number stays itself when its
// new firmware enumerates under another product id.
bool StillTheDevice(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path, const UsbKnownDevice& known)
{
    UsbDeviceFacts facts;
    if (!known.known || !Describe(io, cookie, path, facts))
        return true;
    const UsbDeviceFacts& want = known.facts;
    bool same = facts.location == want.location &&
                (want.hasSerial ? facts.hasSerial && facts.serial == want.serial && facts.vendorId == want.vendorId
                                : SameDevice(facts, want));
    if (same)
        return true;
    IoLog(io, LOG_ERROR, L"do_usb_open - %s leads to another device now (%s); ours has %s.\n", path,
          Shown(facts).c_str(), Shown(want).c_str());
    return false;
}

// Finds a known device again after a restart moved it to another path: by
// its serial number, or, without one, only where it cannot be another's
// (found alone, alone now, and no other process works with its ids). The
// device's claim moves to the path found. True when claimed and open.
bool FindKnownDevice(FlashIoDevice* io, UsbCookie* cookie, UsbKnownDevice& known)
{
    const UsbDeviceFacts& want = known.facts;
    IoLog(io, LOG_INFO, L"Searching again for the device with %s.\n", Shown(want, false).c_str());
    std::vector<std::wstring> same;
    UsbDeviceFacts found;
    for (const std::wstring& path : MatchingPaths(io, cookie, IdsOf(want), false)) {
        UsbDeviceFacts facts;
        if (Describe(io, cookie, path.c_str(), facts) && SameDevice(facts, want)) {
            same.push_back(path);
            found = facts;
        }
    }
    if (same.empty()) {
        IoLog(io, LOG_INFO, L"No device with %s is present.\n", Shown(want, false).c_str());
        return false;
    }
    if (same.size() > 1) {
        IoLog(io, LOG_ERROR, L"%d devices with %s are present: ours cannot be told from the others.\n",
              static_cast<int>(same.size()), Shown(want, false).c_str());
        return false;
    }
    if (!want.hasSerial && !known.alone) {
        IoLog(io, LOG_ERROR,
              L"The device has no serial number and another with its ids was present when it was found: it is not "
              L"taken, as it may be the other.\n");
        return false;
    }
    if (!want.hasSerial && OthersUseIds(io, want.vendorId, want.productId)) {
        IoLog(io, LOG_ERROR,
              L"Another flasher works with a device of VendorID: %d, Product ID: %d; without a serial number ours "
              L"cannot be told from it, so %s is not taken.\n",
              want.vendorId, want.productId, same[0].c_str());
        return false;
    }
    platform::NamedMutex* old = io->m_hDeviceMutex;
    io->m_hDeviceMutex = nullptr;
    bool occupied = false;
    if (!ClaimAndOpen(io, cookie, same[0].c_str(), &occupied)) {
        io->m_hDeviceMutex = old;
        return false;
    }
    if (old) {
        platform::ReleaseNamedMutex(old);
        platform::CloseNamedMutex(old);
    }
    IoLog(io, LOG_INFO, L"Found the device again at %s.\n", same[0].c_str());
    // Where it is now is where the next open checks it.
    known.facts = found;
    return true;
}

void CloseAfterCheck(UsbCookie* cookie)
{
    cookie->backend->close(cookie->native);
    cookie->openFlag = 0;
}

// The host's path, or where its device was found again in this flash.
int32_t OpenHostPath(FlashIoDevice* io, UsbCookie* cookie)
{
    UsbKnownDevices* known = Known(io);
    const wchar_t* hostPath = cookie->identity.devicePath ? cookie->identity.devicePath : L"";
    if (known && known->hostPath != hostPath) {
        known->hostPath = hostPath;
        known->app = UsbKnownDevice{};
        known->appFoundAt.clear();
    }
    const wchar_t* path = known && !known->appFoundAt.empty() ? known->appFoundAt.c_str() : hostPath;
    if (OpenByPath(io, cookie, path) == 0) {
        if (!known)
            return 0;
        if (!known->app.known) {
            Learn(io, cookie, path, known->app);
            return 0;
        }
        if (StillTheDevice(io, cookie, path, known->app))
            return 0;
        CloseAfterCheck(cookie);
    }
    if (!known || !known->app.known || !FindKnownDevice(io, cookie, known->app))
        return -1;
    known->appFoundAt = cookie->identity.preservedPath;
    cookie->openFlag = 1;
    return 0;
}

// The device the search found, at its path or found again after a restart.
int32_t OpenPreserved(FlashIoDevice* io, UsbCookie* cookie)
{
    const UsbIdentity& id = cookie->identity;
    UsbKnownDevices* known = io->usbKnown;
    bool knownBoot = known && known->boot.known && known->boot.facts.vendorId == id.vendorId &&
                     known->boot.facts.productId == id.productId;
    if (OpenByPath(io, cookie, id.preservedPath) == 0) {
        if (!knownBoot || StillTheDevice(io, cookie, id.preservedPath, known->boot))
            return 0;
        CloseAfterCheck(cookie);
    }
    if (!knownBoot || !FindKnownDevice(io, cookie, known->boot))
        return -1;
    cookie->openFlag = 1;
    return 0;
}

} // namespace

int32_t BL_FlashIo_Setup_WIN32_USB(FlashIoDevice* io, const UsbIdentity* identity)
{
    return UsbSetupOnBackend(io, identity, &kUsbSystemBackend, nullptr);
}

int32_t UsbSetupOnBackend(FlashIoDevice* io, const UsbIdentity* identity, const UsbBackend* backend, void* context)
{
    if (!io || !identity || !backend)
        return -1;
    UsbCookie* cookie = NewCookie(*identity, backend, context);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"no memory for io structure\n");
        return -1;
    }
    // A claim left behind would keep this very process from its device.
    ReleaseDeviceMutex(io);
    io->cookie = cookie;
    io->destroy = my_usb_destory;
    io->close = my_usb_close;
    io->open = my_usb_open;
    io->purge = my_usb_purge;
    io->readBytes = my_usb_read;
    io->writeBytes = my_usb_write;
    if (my_usb_open(io) != 0) {
        ClearTransportSlots(io, true);
        FreeCookie(cookie);
        return -1;
    }
    IoLog(io, LOG_INFO, L"BL_FlashIo_Setup_WIN32_USB -- my_usb_open(): try opening the device successfully!\n");
    cookie->backend->flushQueue(cookie->native);
    my_usb_close(io);
    return 0;
}

int32_t my_usb_open(FlashIoDevice* io)
{
    UsbCookie* cookie = CookieOf(io);
    if (!cookie)
        IoLog(io, LOG_ERROR, L"No cookie: %s\n", L"open");
    if (!cookie || cookie->tag != kUsbTag) {
        IoLog(io, LOG_ERROR, L"*WRONG* NOT configured as USB\n");
        return -1;
    }
    if (cookie->openFlag)
        return 0;
    const UsbIdentity& id = cookie->identity;
    if (id.vendorId < 0)
        return OpenHostPath(io, cookie);
    if (id.preservedPath) {
        IoLog(io, LOG_INFO, L"Open preserving boot USB device path: %s\n", id.preservedPath);
        return OpenPreserved(io, cookie);
    }
    if (FindHidDevice(io, cookie) == 0) {
        IoLog(io, LOG_ERROR, L"Failed to FIND and OPEN USB Device, VendorID: %d, Product ID: %d, Interface ID: %d\n",
              id.vendorId, id.productId, id.interfaceId);
        return -1;
    }
    if (UsbKnownDevices* known = Known(io)) {
        known->boot = UsbKnownDevice{};
        Learn(io, cookie, id.preservedPath, known->boot);
    }
    if (!FindHidDevice_debug(io, cookie))
        IoLog(io, LOG_ERROR,
              L"********* FindHidDevice_debug: FIND USB Device with VendorID: %d, Product ID: %d, Interface ID: %d "
              L"still can be used.\n",
              id.vendorId, id.productId, id.interfaceId);
    cookie->openFlag = 1;
    return 0;
}

int32_t my_usb_close(FlashIoDevice* io)
{
    UsbCookie* cookie = CookieOf(io);
    if (!cookie)
        return 0;
    RingClear(&cookie->ring);
    cookie->backend->close(cookie->native);
    cookie->openFlag = 0;
    return 0;
}

void my_usb_purge(FlashIoDevice* io)
{
    if (UsbCookie* cookie = CookieOf(io))
        RingClear(&cookie->ring);
}

void my_usb_destory(FlashIoDevice* io)
{
    if (!io)
        return;
    if (UsbCookie* cookie = CookieOf(io)) {
        if (cookie->openFlag) {
            cookie->openFlag = 0;
            my_usb_close(io);
        }
        FreeCookie(cookie);
    }
    ClearTransportSlots(io);
    ReleaseDeviceMutex(io);
}

int32_t FindHidDevice(FlashIoDevice* io, UsbCookie* cookie)
{
    // Another process's search glances at every free device's mutex after
    // its own open (FindHidDevice_debug); met at that moment, a free device
    // looks occupied. A search that found only occupied devices therefore
    // looks again a few times before it gives up.
    for (uint32_t pass = 0;; ++pass) {
        bool occupied = false;
        for (const std::wstring& path : MatchingPaths(io, cookie, true)) {
            IoLog(io, LOG_DETAIL, L"MATCH: %s\n", path.c_str());
            if (ClaimAndOpen(io, cookie, path.c_str(), &occupied))
                return 1;
        }
        IoLog(io, LOG_INFO, L"End Of Hid Devices\n");
        if (!occupied || pass >= kUsbOccupiedSearches)
            return 0;
        IoLog(io, LOG_INFO, L"Every matching device is occupied; searching again in %d ms.\n",
              static_cast<int>(kUsbOccupiedPauseMs));
        platform::SleepMs(kUsbOccupiedPauseMs);
    }
}

bool FindHidDevice_debug(FlashIoDevice* io, UsbCookie* cookie)
{
    IoLog(io, LOG_INFO, L"********* FindHidDevice again for debug purpose.\n");
    int count = 0;
    for (const std::wstring& path : MatchingPaths(io, cookie, false)) {
        IoLog(io, LOG_DETAIL, L"********* MATCH: %s\n", path.c_str());
        // The device just opened reports as occupied: this process holds it.
        if (OtherDeviceFree(io, path.c_str()))
            ++count;
    }
    IoLog(io, LOG_INFO, L"End Of Hid Devices\n");
    if (count < 1) {
        IoLog(io, LOG_INFO, L"********* No boot USB port can be used this moment.\n");
        return true;
    }
    IoLog(io, LOG_ERROR, L"********* ERROR: %d boot USB port can be used this moment.\n", count);
    return false;
}

int32_t do_usb_open(FlashIoDevice* io, UsbCookie* cookie, const wchar_t* path)
{
    IoLog(io, LOG_INFO, L"do_usb_open - pDeviceName: %s.\n", path);
    if (cookie->backend->open(io, cookie->native, path, cookie->identity.vendorId, cookie->identity.productId) == 0)
        return 0;
    cookie->openFlag = 0;
    return -1;
}

int32_t my_usb_write(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    UsbCookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"Win32 USB write - No cookie!\n");
        return -1;
    }
    uint32_t total = 0;
    while (total < length) {
        uint32_t n = UsbFillOutputReport(cookie->outReport, data + total, length - total);
        IoLog(io, LOG_HID, L"WRITE REPORT, payloadsize: %d\n", static_cast<int>(n));
        HexDump(io, LOG_HID, 0, cookie->outReport, kUsbReportSize);
        if (!cookie->backend->writeReport(io, cookie->native, cookie->outReport, cookie->writeTimeoutMs)) {
            IoLog(io, LOG_ERROR, L"%s Error writing full report\n", L"my_usb_write");
            IoLog(io, LOG_ERROR, L"%hs: r=%d, total=%d\n", "my_usb_write", -1, static_cast<int>(total));
            return -1;
        }
        total += n;
    }
    return static_cast<int32_t>(total);
}

int32_t my_usb_READREPORT(FlashIoDevice* io, UsbCookie* cookie, uint32_t timeoutMs)
{
    if (RingFree(&cookie->ring) < kUsbMaxInputPayload) {
        IoLog(io, LOG_ERROR, L"INTERNAL ERROR: USB FILL BUFFER Not enough space!\n");
        return -1;
    }
    uint8_t* report = cookie->inReport;
    memset(report, 0, sizeof cookie->inReport);
    uint32_t received = 0;
    switch (cookie->backend->readReport(io, cookie->native, report, ReportWaitMs(io, cookie, timeoutMs), &received)) {
    case UsbReadResult::Timeout:
        return 0;
    case UsbReadResult::Failed:
        return -1;
    case UsbReadResult::Gone:
        return -3;
    case UsbReadResult::Report:
        break;
    }
    IoLog(io, LOG_HID, L"Read REPORT, payloadsize: %d\n", static_cast<int>(report[1]));
    HexDump(io, LOG_HID, 0, report, kUsbReportSize);
    const uint8_t* payload = nullptr;
    uint32_t n = 0;
    if (UsbInputPayload(report, received, &payload, &n))
        RingPut(&cookie->ring, payload, n);
    else
        IoLog(io, LOG_ERROR, L"Unexpected (ignored) Barcode Packet %02x %02x %02x %02x %02x\n", report[0], report[1],
              report[2], report[3], report[4]);
    return 0;
}

int32_t my_usb_fill(FlashIoDevice* io, UsbCookie* cookie, uint8_t* destination, uint32_t count, uint32_t timeoutMs)
{
    uint64_t available = RingUsed(&cookie->ring);
    if (available < count) {
        int32_t r = my_usb_READREPORT(io, cookie, timeoutMs);
        if (r == -3)
            return -3;
        if (r < 0 && available == 0)
            return r;
        available = RingUsed(&cookie->ring);
    }
    return static_cast<int32_t>(RingGet(&cookie->ring, destination, std::min<uint64_t>(count, available)));
}

int32_t my_usb_read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    UsbCookie* cookie = CookieOf(io);
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"Win32 USB read - No cookie!\n");
        return -1;
    }
    if (!cookie->backend->isOpen(cookie->native)) {
        IoLog(io, LOG_ERROR, L"Win32 USB read no handle!\n");
        return -1;
    }
    uint32_t start = platform::TickCount();
    uint32_t total = 0;
    while (total < length) {
        int32_t r = my_usb_fill(io, cookie, buffer + total, std::min(length - total, kUsbMaxInputPayload), timeoutMs);
        if (r >= 1) {
            total += static_cast<uint32_t>(r);
            continue;
        }
        if (r == -3)
            return -3;
        if (platform::TimeUp(start, timeoutMs))
            break;
        // A device that is still there but fails its reads would otherwise
        // be asked again at once, a log line each time, until the timeout.
        if (r < 0) {
            uint32_t spent = platform::TickCount() - start;
            platform::SleepMs(std::min<uint32_t>(kUsbFailedReadPauseMs, spent < timeoutMs ? timeoutMs - spent : 0));
        }
    }
    if (total > 0)
        return static_cast<int32_t>(total);
    IoLog(io, LOG_ERROR, L"%hs: Timeout tspent: %d\n", "my_usb_read",
          static_cast<int>(platform::TickCount() - start));
    return -6;
}
