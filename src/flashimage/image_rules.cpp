#include "flashimage/image_rules.h"
