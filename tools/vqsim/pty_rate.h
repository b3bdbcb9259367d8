#pragma once

// Bits per second the far (slave) side of a pseudo-terminal was set to,
// read through its master; 0 when it cannot be read.
int pty_line_rate(int master_fd);
