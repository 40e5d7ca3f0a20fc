// No exception may reach the host: each host-facing operation catches what
// escapes its body and answers with its own failure code through here.
#pragma once

#include <cstdint>

struct ToolContext;

// Called from a catch handler: logs what escaped `operation` (a failed
// allocation as "No memory") and returns `failure`. Never throws.
uint32_t EscapedFailure(ToolContext* context, const char* operation, uint32_t failure) noexcept;
