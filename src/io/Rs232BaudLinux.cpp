// Line speeds without a B constant (14400, 56000, 128000, 256000) through
// termios2. Kept apart because the kernel's termios headers clash with the C
// library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

bool Rs232SetLinuxCustomBaud(int fd, uint32_t baudRate)
{
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~CBAUD;
    t.c_cflag |= BOTHER;
    t.c_cflag &= ~(CBAUD << IBSHIFT);
    t.c_cflag |= BOTHER << IBSHIFT;
    t.c_ispeed = baudRate;
    t.c_ospeed = baudRate;
    return ioctl(fd, TCSETS2, &t) == 0;
}
