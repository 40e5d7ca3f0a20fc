// The P_INFO report a unit sends: "tag: value" lines, a csum line holding the
// byte sum of everything before it, and an empty line at the end.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class PinfoReport {
public:
    // A value may not carry the menu terminators or line ends; those are
    // replaced by '_' (a version "1.2" reads "1_2").
    void Add(const std::string& tag, const std::string& value);
    void AddNumber(const std::string& tag, int64_t value);
    void AddHex(const std::string& tag, uint32_t value);
    void AddList(const std::string& tag, const std::vector<uint32_t>& ids);
    // The whole text, csum line and final empty line included.
    std::string Text() const;

private:
    std::vector<std::pair<std::string, std::string>> lines_;
};

} // namespace sim
