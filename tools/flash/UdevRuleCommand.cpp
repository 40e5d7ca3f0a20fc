// udev-rule: writes the rule that lets a user who is not root flash the
// scanner on a hidraw node, for its application's and its bootloader's ids.
#include "Commands.h"

#include "DeviceReport.h"
#include "FlashJob.h"
#include "Results.h"
#include "UdevRule.h"

#include <cstdio>

namespace flasher {

namespace {

// The bootloader's ids from the device's own report; only root (or a user
// the node is already open to) can ask for it.
bool BootIdsFromReport(const CommandOptions& options, UsbIds& ids, std::string& why)
{
    CommandOptions query = options;
    query.device.usb = true;
    Library library;
    int code = 0;
    auto jobs = PrepareJobs(query, library, code);
    if (jobs.empty()) {
        why = "the device's report could not be asked for";
        return false;
    }
    std::string text;
    if (jobs.front()->QueryDevice(text) != CFS_RESULT_OK) {
        why = jobs.front()->FactsOf(Operation::Device, "").log.deniedNode.empty()
                  ? "the device did not give its report"
                  : "this user may not open the node to ask for it";
        return false;
    }
    DeviceReport report = ParseDeviceReport(text);
    ids.vendorId = ReportId(report.Value("usbvid"));
    ids.productId = ReportId(report.Value("usbpid"));
    if (!ids.Known()) {
        why = "the device's report names no usbvid and usbpid";
        return false;
    }
    return true;
}

bool WriteFile(const std::string& path, const std::string& text)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

} // namespace

int UdevRuleCommand(const CommandOptions& options)
{
    const std::string& node = options.device.ports.front();
    UsbIds application, bootloader;
    std::string error;
    if (!HidNodeIds(node, application, error))
        return Fail(kExitNoInput, "port " + node + ": " + error);
    if (!options.bootIds.empty()) {
        if (!ParseUsbIds(options.bootIds, bootloader))
            return Fail(kExitUsage, "--boot-ids " + options.bootIds + ": not VID:PID in hex, e.g. f0f0:0b01");
    } else if (!BootIdsFromReport(options, bootloader, error)) {
        return Fail(kExitNoDevice, "the bootloader's ids are not known: " + error +
                                       "; run this as root, or give them with --boot-ids VID:PID");
    }
    std::string rule = UdevRuleText(node, application, bootloader);
    if (options.output.empty()) {
        std::fputs(rule.c_str(), stdout);
        std::fprintf(stderr, "tambrix-flash: put this rule in %s, then reload udev: sudo %s\n", kUdevRuleFile,
                     kUdevReload);
        return 0;
    }
    if (!WriteFile(options.output, rule))
        return Fail(kExitCantCreate, "the rule file " + options.output + " cannot be written");
    std::fprintf(stderr, "tambrix-flash: wrote %s; reload udev: sudo %s (then plug the scanner in again)\n",
                 options.output.c_str(), kUdevReload);
    return 0;
}

} // namespace flasher
