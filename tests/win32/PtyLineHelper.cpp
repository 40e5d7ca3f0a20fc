// Native Linux helper for the serial tests under Wine. It holds a pty
// master, maps a free COM number of the Wine prefix onto the slave
// (dosdevices/comN -> /dev/pts/M), runs the test program, and plays the
// device side for it over a line protocol on a localhost TCP socket:
//   FRESH              a new pty behind the same COM number     -> OK
//   SEND <hex>         the device sends bytes                   -> OK
//   RECV <n> <ms>      up to n bytes the device got within ms   -> DATA <hex>
//   LINE               the line settings                        -> LINE <text>
//   HANGUP <ms>        the COM name goes now, the pty after ms  -> OK
// Usage: PtyLineHelper <dosdevices dir> <program> [arguments...]
#include "PtyDevice.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testing_support::PtyDevice;

namespace {

std::string g_link;
std::unique_ptr<PtyDevice> g_pty;

bool Relink()
{
    unlink(g_link.c_str());
    return g_pty->Ok() && symlink(g_pty->SlavePath().c_str(), g_link.c_str()) == 0;
}

std::string Answer(const std::string& request)
{
    std::istringstream in(request);
    std::string command;
    in >> command;
    if (command == "FRESH") {
        g_pty = std::make_unique<PtyDevice>();
        return Relink() ? "OK" : "FAIL";
    }
    if (command == "SEND") {
        std::string hex;
        in >> hex;
        return g_pty->Send(testing_support::FromHex(hex)) ? "OK" : "FAIL";
    }
    if (command == "RECV") {
        size_t count = 0;
        uint32_t timeout = 0;
        in >> count >> timeout;
        return "DATA " + testing_support::ToHex(g_pty->Receive(count, timeout));
    }
    if (command == "LINE")
        return "LINE " + g_pty->Line().ToText();
    if (command == "HANGUP") {
        uint32_t after = 0;
        in >> after;
        unlink(g_link.c_str());
        g_pty->HangUp(after);
        return "OK";
    }
    return "FAIL";
}

void Serve(int listener)
{
    for (;;) {
        int connection = accept(listener, nullptr, nullptr);
        if (connection < 0)
            return;
        std::string pending;
        char buffer[4096];
        ssize_t n;
        while ((n = read(connection, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<size_t>(n));
            size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string reply = Answer(pending.substr(0, end)) + "\n";
                pending.erase(0, end + 1);
                if (write(connection, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                    break;
            }
        }
        close(connection);
    }
}

// A COM number nobody else uses: symlink() fails when the name exists, so
// two helpers running side by side never share one.
int ClaimComNumber(const std::string& dosdevices)
{
    for (int number = 100; number < 240; ++number) {
        std::string link = dosdevices + "/com" + std::to_string(number);
        if (symlink(g_pty->SlavePath().c_str(), link.c_str()) == 0) {
            g_link = link;
            return number;
        }
    }
    return -1;
}

int RunProgram(char** argv)
{
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv);
        perror(argv[0]);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) < 0)
        return 1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s <dosdevices dir> <program> [arguments...]\n", argv[0]);
        return 2;
    }
    std::string dosdevices = argv[1];
    struct stat info;
    if (stat(dosdevices.c_str(), &info) != 0) {
        // A fresh Wine prefix gets its dosdevices directory from wineboot.
        char* boot[] = {argv[2], const_cast<char*>("wineboot"), const_cast<char*>("-i"), nullptr};
        RunProgram(boot);
    }
    g_pty = std::make_unique<PtyDevice>();
    int number = g_pty->Ok() ? ClaimComNumber(dosdevices) : -1;
    if (number < 0) {
        fprintf(stderr, "PtyLineHelper: no pty or no free COM number in %s\n", dosdevices.c_str());
        return 1;
    }

    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        perror("PtyLineHelper: socket");
        unlink(g_link.c_str());
        return 1;
    }
    setenv("TAMBRIX_TEST_COM", std::to_string(number).c_str(), 1);
    setenv("TAMBRIX_TEST_LINE", std::to_string(ntohs(address.sin_port)).c_str(), 1);
    std::thread(Serve, listener).detach();

    int result = RunProgram(argv + 2);
    unlink(g_link.c_str());
    // The server thread may be inside a request, so the helper leaves
    // without tearing it down; the pty goes first.
    g_pty.reset();
    fflush(nullptr);
    _exit(result);
}
