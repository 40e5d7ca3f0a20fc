// The Win32 serial port under Wine, against a pty that PtyLineHelper maps
// to a COM number and plays the device on: the same behaviour table as the
// termios port.
#include "platform/Platform.h"
#include "support/SerialBehaviour.h"

#include <gtest/gtest.h>

#include <winsock2.h>

#include <cstdlib>
#include <string>

namespace {

using namespace testing_support;

class RemoteLine : public SerialDeviceSide {
public:
    RemoteLine()
    {
        const char* com = getenv("TAMBRIX_TEST_COM");
        const char* port = getenv("TAMBRIX_TEST_LINE");
        WSADATA data;
        if (!com || !port || WSAStartup(MAKEWORD(2, 2), &data) != 0)
            return;
        started_ = true;
        number_ = atoi(com);
        socket_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<u_short>(atoi(port)));
        if (socket_ != INVALID_SOCKET &&
            connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            closesocket(socket_);
            socket_ = INVALID_SOCKET;
        }
    }
    ~RemoteLine() override
    {
        if (socket_ != INVALID_SOCKET)
            closesocket(socket_);
        if (started_)
            WSACleanup();
    }

    bool Connected() const { return socket_ != INVALID_SOCKET; }

    bool Fresh() override { return Ask("FRESH") == "OK"; }
    int32_t PortNumber() override { return number_; }
    std::wstring PortFileName(int32_t number) override { return L"\\\\.\\com" + std::to_wstring(number); }
    std::wstring PortName() override { return L"\\\\.\\COM" + std::to_wstring(number_); }
    // The helper claims numbers below 240.
    int32_t MissingPortNumber() override { return 249; }
    std::wstring MissingPortName() override { return L"\\\\.\\COM249"; }
    bool Send(const std::string& bytes) override { return Ask("SEND " + ToHex(bytes)) == "OK"; }
    std::string Receive(size_t count, uint32_t timeoutMs) override
    {
        std::string reply = Ask("RECV " + std::to_string(count) + " " + std::to_string(timeoutMs));
        return reply.rfind("DATA ", 0) == 0 ? FromHex(reply.substr(5)) : std::string();
    }
    LineState Line() override
    {
        std::string reply = Ask("LINE");
        return reply.rfind("LINE ", 0) == 0 ? LineState::FromText(reply.substr(5)) : LineState();
    }
    void HangUp(uint32_t afterMs) override { Ask("HANGUP " + std::to_string(afterMs)); }
    // Wine does not keep a second opener off a COM port, whatever the
    // sharing mode says.
    bool RefusesSecondOpener() override { return false; }
    std::string SystemText(uint32_t code) override
    {
        wchar_t* text = nullptr;
        DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                      MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&text), 0,
                                      nullptr);
        std::string result = length && text ? platform::WideToUtf8(text, length) : std::string();
        LocalFree(text);
        return result;
    }

private:
    std::string Ask(const std::string& request)
    {
        std::string line = request + "\n";
        if (!Connected() || send(socket_, line.data(), static_cast<int>(line.size()), 0) != static_cast<int>(line.size()))
            return "";
        std::string reply;
        char c;
        while (recv(socket_, &c, 1, 0) == 1 && c != '\n')
            reply += c;
        return reply;
    }

    bool started_ = false;
    int32_t number_ = 0;
    SOCKET socket_ = INVALID_SOCKET;
};

RemoteLine& Line()
{
    static RemoteLine line;
    return line;
}

class SerialBehaviour : public ::testing::TestWithParam<SerialCase> {};

TEST_P(SerialBehaviour, Holds)
{
    if (!Line().Connected())
        GTEST_SKIP() << "needs the device side of PtyLineHelper";
    ASSERT_TRUE(Line().Fresh());
    GetParam().run(Line());
}

INSTANTIATE_TEST_SUITE_P(Win32, SerialBehaviour, ::testing::ValuesIn(SerialBehaviourCases()),
                         [](const ::testing::TestParamInfo<SerialCase>& info) { return info.param.name; });

} // namespace
