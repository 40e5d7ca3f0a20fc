// No exception may reach the host: each host-facing operation catches what
// escapes its body and answers with its own failure code through here.
#pragma once

#include <cstdint>

// A thread ended by pthread_exit or pthread_cancel (an interpreter that ends
// a thread inside a host callback at exit) unwinds with an exception that
// must go on: swallowed, glibc aborts the process. Every catch-all handler
// lets it pass first. The handler binds a reference to an exception that
// has no object, which UBSan's null check would report: an operation with
// such a handler is marked TAMBRIX_OPERATION.
#if defined(__GLIBC__)
#include <cxxabi.h>
#define TAMBRIX_LET_FORCED_UNWIND_PASS \
    catch (abi::__forced_unwind&) { throw; }
#define TAMBRIX_OPERATION __attribute__((no_sanitize("null")))
#else
#define TAMBRIX_LET_FORCED_UNWIND_PASS
#define TAMBRIX_OPERATION
#endif

struct ToolContext;

// Called from a catch handler: logs what escaped `operation` (a failed
// allocation as "No memory") and returns `failure`. Never throws.
uint32_t EscapedFailure(ToolContext* context, const char* operation, uint32_t failure) noexcept;
