#include "flash/flash_ini.h"
