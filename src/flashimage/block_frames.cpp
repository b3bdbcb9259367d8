#include "flashimage/block_frames.h"
