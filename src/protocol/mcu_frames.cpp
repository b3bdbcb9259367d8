#include "protocol/mcu_frames.h"
