#include "flash/flash_frames.h"
