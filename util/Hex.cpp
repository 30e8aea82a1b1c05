#include "util/Hex.h"
