#include "Watch.h"

#include <cctype>

namespace flasher {

bool NameMatches(const std::string& pattern, const std::string& name, bool ignoreCase)
{
    auto same = [ignoreCase](char a, char b) {
        if (!ignoreCase)
            return a == b;
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    };
    // Iterative, with one back-track point: linear in practice, never
    // exponential for many stars.
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || (pattern[p] != '*' && same(pattern[p], name[n])))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

} // namespace flasher
