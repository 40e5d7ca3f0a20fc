#include "api/OperationGuard.h"

#include "api/ToolContext.h"
#include "log/Log.h"

#include <exception>
#include <new>

uint32_t EscapedFailure(ToolContext* context, const char* operation, uint32_t failure) noexcept
{
    // The exception being handled, named without copying anything: the
    // log line must not need the memory that just ran out.
    const char* reason = "unknown exception";
    try {
        throw;
    } catch (const std::bad_alloc&) {
        reason = "No memory";
    } catch (const std::exception& error) {
        reason = error.what();
    } catch (...) {
    }
    if (context)
        context->LogMsg(LOG_ERROR, L"%hs: %hs\n", operation, reason);
    return failure;
}
