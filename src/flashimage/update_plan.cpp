#include "flashimage/update_plan.h"
