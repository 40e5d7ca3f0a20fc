// The pieces of the version query that read a firmware header's texts.
#pragma once

#include <cstdint>

struct kiro_header;

// Removes white space at both ends of sw_rev, cc_date and cc_time (unpacking
// turns a text's NUL fill into blanks).
void TrimHeaderTexts(kiro_header& header);

// The build time of a header as the host receives it: second, minute, hour,
// day of the month, month (1-12), year - 1900, 0, 0, -1. date is "Mar 05
// 2016" (month in any case), time "13:45:07", both trimmed; numbers are read
// as strtol reads them, and a position past the end of a text reads as 0.
// An empty date gives month 0. False when the month is not one of the
// twelve: it is then given as 1.
bool ParseBuildTime(const char* date, const char* time, int32_t out[9]);
