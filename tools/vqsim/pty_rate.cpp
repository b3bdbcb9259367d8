#include "pty_rate.h"

// termios2 lives here, apart from <termios.h>, whose struct of the same name
// it collides with. The master answers for the slave's settings, and only
// termios2 reports rates such as 1382400 that have no B-constant.
#include <asm/termbits.h>
#include <sys/ioctl.h>

int pty_line_rate(int master_fd)
{
    struct termios2 t {};
    if (ioctl(master_fd, TCGETS2, &t) != 0)
        return 0;
    return static_cast<int>(t.c_ospeed);
}

SimLineSettings pty_line_settings(int master_fd)
{
    SimLineSettings line;
    struct termios2 t {};
    if (ioctl(master_fd, TCGETS2, &t) != 0)
        return line;
    line.rate = static_cast<int>(t.c_ospeed);
    switch (t.c_cflag & CSIZE) {
    case CS5: line.data_bits = 5; break;
    case CS6: line.data_bits = 6; break;
    case CS7: line.data_bits = 7; break;
    default: line.data_bits = 8; break;
    }
    line.parity = !(t.c_cflag & PARENB) ? 'N' : (t.c_cflag & PARODD) ? 'O' : 'E';
    line.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.hardware_flow = (t.c_cflag & CRTSCTS) != 0;
    line.software_flow = (t.c_iflag & (IXON | IXOFF)) != 0;
    return line;
}
