#include "support/ScriptedTransport.h"

#include <algorithm>
#include <cstring>

namespace testing_support {

Bytes ToBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

ScriptedTransport::ScriptedTransport(FlashIo& io, platform::VirtualClock& clock, Style style)
    : io_(io), clock_(clock), style_(style)
{
    FlashIoDevice* device = io_.io;
    device->cookie = this;
    device->destroy = Destroy;
    device->purge = Purge;
    device->open = Open;
    device->close = Close;
    device->writeBytes = Write;
    device->readBytes = Read;
}

ScriptedTransport::~ScriptedTransport()
{
    if (io_.io && io_.io->cookie == this)
        Destroy(io_.io);
}

ScriptedTransport& ScriptedTransport::When(Bytes prefix, std::vector<Answer> answers, bool repeatLast)
{
    rules_.push_back(Rule{std::move(prefix), std::move(answers), 0, repeatLast});
    return *this;
}

void ScriptedTransport::Arrive(const Answer& answer)
{
    Schedule(answer);
}

void ScriptedTransport::Schedule(const Answer& answer)
{
    uint64_t due = clock_.Now() + answer.delayMs;
    for (uint8_t byte : answer.bytes) {
        pending_.emplace(due, byte);
        due += answer.gapMs;
    }
}

Bytes ScriptedTransport::Wire() const
{
    Bytes out;
    for (const Bytes& write : writes_)
        out.insert(out.end(), write.begin(), write.end());
    return out;
}

size_t ScriptedTransport::CountWrites(const Bytes& prefix) const
{
    return static_cast<size_t>(std::count_if(writes_.begin(), writes_.end(), [&](const Bytes& write) {
        return write.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), write.begin());
    }));
}

void ScriptedTransport::Destroy(FlashIoDevice* io)
{
    ClearTransportSlots(io);
}

void ScriptedTransport::Purge(FlashIoDevice* io)
{
    // What has arrived is in the driver's queue and goes; what the device
    // has not sent yet still comes.
    auto* self = static_cast<ScriptedTransport*>(io->cookie);
    ++self->purges;
    self->pending_.erase(self->pending_.begin(), self->pending_.upper_bound(self->clock_.Now()));
}

int32_t ScriptedTransport::Open(FlashIoDevice*) { return 0; }
int32_t ScriptedTransport::Close(FlashIoDevice*) { return 0; }

int32_t ScriptedTransport::Write(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    auto* self = static_cast<ScriptedTransport*>(io->cookie);
    Bytes written(data, data + length);
    self->writes_.push_back(written);
    self->writeTimes_.push_back(self->clock_.Now());
    for (Rule& rule : self->rules_) {
        bool matches = written.size() >= rule.prefix.size() &&
                       std::equal(rule.prefix.begin(), rule.prefix.end(), written.begin());
        if (!matches || rule.answers.empty())
            continue;
        if (rule.next < rule.answers.size()) {
            self->Schedule(rule.answers[rule.next++]);
            break;
        }
        if (rule.repeatLast) {
            self->Schedule(rule.answers.back());
            break;
        }
    }
    return static_cast<int32_t>(length);
}

int32_t ScriptedTransport::Read(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    auto* self = static_cast<ScriptedTransport*>(io->cookie);
    self->readLengths.push_back(length);
    if (self->readFailure)
        return self->readFailure;
    if (self->style_ == Style::Serial)
        memset(buffer, 0, length);
    uint64_t deadline = self->clock_.Now() + timeoutMs;
    uint32_t count = 0;
    while (count < length) {
        auto next = self->pending_.begin();
        if (next == self->pending_.end() || next->first > deadline) {
            if (deadline > self->clock_.Now())
                self->clock_.Advance(deadline - self->clock_.Now());
            break;
        }
        if (next->first > self->clock_.Now())
            self->clock_.Advance(next->first - self->clock_.Now());
        buffer[count++] = next->second;
        self->pending_.erase(next);
    }
    if (count == 0 && self->style_ == Style::Usb)
        return -6;
    return static_cast<int32_t>(count);
}

} // namespace testing_support
