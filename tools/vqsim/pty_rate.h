#pragma once

#include "sim_device.h"  // SimLineSettings

// Bits per second the far (slave) side of a pseudo-terminal was set to,
// read through its master; 0 when it cannot be read.
int pty_line_rate(int master_fd);
// The whole of the slave's line settings; rate 0 when they cannot be read.
SimLineSettings pty_line_settings(int master_fd);
